// A worker that counts in the background, reports every five counts and
// stops itself after ten reports.
//
// It lives in a script of its own whose only other code is its init, and
// follows both rules at the top of vantrel.inc: the init stays inside
// SleepThread until the worker has reached a SleepThread of its own, and
// nothing else of this script ever runs beside the worker. Only the worker
// touches g_count, so it needs no lock.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

new g_count;
new g_reports;

forward CountInBackground(threadid);

public OnFilterScriptInit()
{
    if (CreateThread("CountInBackground") == 0)
    {
        print("background_counter: could not start the worker");
        return 1;
    }
    // The worker starts at once: stay inside a native until it is inside
    // one of its own.
    SleepThread(100);
    return 1;
}

// Runs on the worker, called again each time it returns, until the thread
// is destroyed.
public CountInBackground(threadid)
{
    // Without a sleep the worker would call this public again at once and
    // keep a processor core busy. The first one also lets the init return
    // before this code goes on.
    SleepThread(1000);
    g_count++;
    if (g_count % 5 == 0)
    {
        g_reports++;
        printf("background_counter: the worker has counted to %d", g_count);
        if (g_reports == 10)
        {
            print("background_counter: worker stopped");
            // A public that destroys its own thread ends at this call.
            DestroyThread(threadid);
        }
    }
}

// Nothing to do when the script is unloaded: the plugin stops its threads.
