// A worker that counts in the background, a timer of the same script that
// reads the count, and a clean stop after ten reports.
//
// The worker and the timer share g_count, so each touches it only while it
// holds the worker's lock: the count never goes wrong. The lock cannot make
// it safe for the worker and the timer to run at the same moment (see the
// top of vantrel.inc): both are kept to a few statements, and the worker
// spends nearly all of its time asleep. For work that must never fail, use
// the layout of single_shot_job.pwn instead: a script of its own.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

new g_worker;        // thread id of the counting worker, 0 when there is none
new g_count;         // guarded by the worker's lock
new g_reports;
new g_reportTimer;

forward CountInBackground(threadid);
forward ReportCount();

public OnFilterScriptInit()
{
    g_worker = CreateThread("CountInBackground");
    if (g_worker == 0)
    {
        print("background_counter: could not start the worker");
        return 1;
    }
    g_reportTimer = SetTimer("ReportCount", 5000, true);
    return 1;
}

// Runs on the worker, called again each time it returns, until the thread
// is destroyed.
public CountInBackground(threadid)
{
    new lock = LockThread(threadid);
    g_count++;
    UnLockThread(lock);
    // Without a sleep the worker would call this public again at once and
    // keep a processor core busy. DestroyThread ends the public here.
    SleepThread(1000);
}

// Runs on the server's thread.
public ReportCount()
{
    new lock = LockThread(g_worker);
    new count = g_count;
    // Give the lock back before destroying the worker: a worker waiting for
    // a lock that we hold would never end, and DestroyThread would never
    // return.
    UnLockThread(lock);

    printf("background_counter: the worker has counted to %d", count);
    g_reports++;
    if (g_reports == 10)
    {
        KillTimer(g_reportTimer);
        // Wakes the worker from its sleep and waits until it has ended.
        DestroyThread(g_worker);
        g_worker = 0;
        print("background_counter: worker stopped");
    }
}

// Nothing to do when the script is unloaded: the plugin stops its threads
// and gives back the locks it took.
