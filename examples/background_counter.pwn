// A worker that counts in the background, once a second, and a timer that
// reports the count every five seconds and stops the worker after ten
// reports.
//
// It follows the rules at the top of vantrel.inc and the pattern under
// GETTING RESULTS TO THE SERVER there: the worker counts in this script's
// own variable and calls nothing but the plugin's natives; it hands the
// count over under its thread's lock, and the timer, on the server's main
// thread, copies it under the same lock and prints it. The script is a
// filterscript of its own, with no other code.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

new g_thread;
new g_timer;
new g_count; // written by the worker and read by the timer, under the lock
new g_reports;

forward CountInBackground(threadid);
forward ReportCount();

public OnFilterScriptInit()
{
    // Set before the worker exists, since after the sleep below the init
    // does nothing but return. It first runs long after the worker's first
    // sleep has ended.
    g_timer = SetTimer("ReportCount", 5000, true);
    g_thread = CreateThread("CountInBackground");
    if (g_thread == 0)
    {
        KillTimer(g_timer);
        print("background_counter: could not start the worker");
        return 1;
    }
    // The worker starts while this sleeps, and the sleep lasts until the worker
    // is inside a native of its own.
    SleepThread(0);
    return 1;
}

// Runs on the worker, and never returns: the timer destroys the thread.
public CountInBackground(threadid)
{
    new lock; // every variable before the first native call

    // Lets the init return before this code goes on.
    SleepThread(500);
    for (;;)
    {
        lock = LockThread(threadid);
        g_count++;
        UnLockThread(lock);
        // Without a sleep the loop would keep a processor core busy.
        SleepThread(1000);
    }
}

// Runs on the server's main thread.
public ReportCount()
{
    new lock = LockThread(g_thread);
    new count = g_count;
    UnLockThread(lock);

    printf("background_counter: the worker has counted to %d", count);
    g_reports++;
    if (g_reports == 10)
    {
        KillTimer(g_timer);
        // With the lock given back, the worker ends at its next sleep.
        DestroyThread(g_thread);
        print("background_counter: worker stopped");
    }
}

// Nothing to do when the script is unloaded: the server kills the timer and
// the plugin stops the worker.
