// A slow computation run once on a worker, so that the server does not stall
// while it runs, and a timer that collects the result and prints it.
//
// It follows the rules at the top of vantrel.inc and GETTING RESULTS TO THE
// SERVER there: the job computes in its own variables and calls nothing but
// the plugin's natives; it hands its result over under its thread's lock,
// and the timer, on the server's main thread, copies it under the same lock,
// destroys the job's thread and prints it.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

new g_job;
new g_timer;
new g_limit; // the job's input: written before the job starts, only read after

// Written by the job and read by the timer, under the lock.
new bool:g_done;
new g_found;

forward CountPrimes(threadid);
forward CollectPrimes();

public OnFilterScriptInit()
{
    g_limit = 200000;
    // The job starts at once, inside CreateThreadEx; nothing waits for it.
    g_job = CreateThreadEx("CountPrimes");
    if (g_job == 0)
    {
        print("single_shot_job: could not start the job");
        return 1;
    }
    g_timer = SetTimer("CollectPrimes", 2000, true);
    return 1;
}

// Runs once, on the worker. It does not return once its result is handed
// over: it sleeps until the timer destroys its thread, so that the thread's
// id, and with it the lock that guards the result, stay this script's until
// then (a tick reaps a single-shot thread whose public has returned).
public CountPrimes(threadid)
{
    new found;
    for (new n = 2; n < g_limit; n++)
    {
        new bool:prime = true;
        for (new d = 2; d * d <= n; d++)
        {
            if (n % d == 0)
            {
                prime = false;
                break;
            }
        }
        if (prime)
        {
            found++;
        }
    }

    new lock = LockThread(threadid);
    g_found = found;
    g_done = true;
    UnLockThread(lock);
    for (;;)
    {
        SleepThread(60000);
    }
}

// Runs on the server's main thread until it has collected the result.
public CollectPrimes()
{
    new lock = LockThread(g_job);
    new bool:done = g_done;
    new found = g_found;
    UnLockThread(lock);
    if (!done)
    {
        return;
    }

    KillTimer(g_timer);
    // With the lock given back, the sleeping job ends at once.
    DestroyThread(g_job);
    printf("single_shot_job: found %d primes below %d", found, g_limit);
}
