// A slow computation run once on a worker, so that the server does not stall
// while it runs, and a timer that collects the result and prints it.
//
// It follows the rules at the top of vantrel.inc and the pattern under
// GETTING RESULTS TO THE SERVER there: the job computes in its own
// variables and calls nothing but the plugin's natives; it hands its result
// over under its thread's lock, and the timer, on the server's main thread,
// copies it under the same lock, destroys the job's thread and prints it.
// The script is a filterscript of its own, with no other code.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

new g_job;
new g_timer;
new g_limit; // the job's input, written before the job starts

// Written by the job and read by the timer, under the lock.
new bool:g_done;
new g_found;

forward CountPrimes(threadid);
forward CollectPrimes();

public OnFilterScriptInit()
{
    // Set before the job exists, since after the sleep below the init does
    // nothing but return. It first runs long after the job's first sleep has
    // ended.
    g_timer = SetTimer("CollectPrimes", 2000, true);
    g_limit = 200000;
    g_job = CreateThreadEx("CountPrimes");
    if (g_job == 0)
    {
        KillTimer(g_timer);
        print("single_shot_job: could not start the job");
        return 1;
    }
    // The job starts while this sleeps, and the sleep lasts until the job
    // is inside a native of its own.
    SleepThread(0);
    return 1;
}

// Runs once, on the worker. It does not return once its result is handed
// over: it sleeps until the timer destroys its thread, so that the thread's
// id, and with it the lock, stay this script's until then.
public CountPrimes(threadid)
{
    // Every variable before the first native call.
    new limit, n, d, found, bool:prime, lock;

    // Lets the init return before this code goes on.
    SleepThread(500);
    // Takes its input under the lock. That also calls one of the plugin's
    // natives right after the first sleep, before the long computation, as
    // the pattern asks.
    lock = LockThread(threadid);
    limit = g_limit;
    UnLockThread(lock);

    for (n = 2; n < limit; n++)
    {
        prime = true;
        for (d = 2; d * d <= n; d++)
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

    lock = LockThread(threadid);
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
