// A worker that counts in the background, once a second, and a timer that
// reports the count every five seconds and stops the worker after ten
// reports.
//
// It follows the rules at the top of vantrel.inc and GETTING RESULTS TO THE
// SERVER there: the worker counts in this script's own variable, under its
// thread's lock, and calls nothing but the plugin's natives; the timer, on
// the server's main thread, copies the count under the same lock and prints
// it.

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
    // The worker starts at once, inside CreateThread; nothing waits for it.
    g_thread = CreateThread("CountInBackground");
    if (g_thread == 0)
    {
        print("background_counter: could not start the worker");
        return 1;
    }
    g_timer = SetTimer("ReportCount", 5000, true);
    return 1;
}

// Runs on the worker, once a second: CreateThread calls it again each time it
// returns, until the timer destroys the thread. It uses the id it receives,
// since it may start before g_thread is set.
public CountInBackground(threadid)
{
    new lock = LockThread(threadid);
    g_count++;
    UnLockThread(lock);
    // Without a sleep the worker would keep a processor core busy.
    SleepThread(1000);
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
