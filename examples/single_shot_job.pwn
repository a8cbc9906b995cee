// A slow computation run once on a worker, so that the server does not stall
// while it runs. The job lives in a script of its own whose only other code
// is its init, and follows both rules at the top of vantrel.inc: the init
// stays inside SleepThread until the job has reached a SleepThread of its
// own, and no other code of this script ever runs beside the job.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

forward CountPrimes(threadid);

public OnFilterScriptInit()
{
    if (CreateThreadEx("CountPrimes") == 0)
    {
        print("single_shot_job: could not start the job");
        return 1;
    }
    // The job starts at once: stay inside a native until it is inside one
    // of its own.
    SleepThread(100);
    return 1;
}

// Runs once, on the worker. The thread ends when this public returns; its id
// stays taken until a server tick reaps the finished thread.
public CountPrimes(threadid)
{
    // Lets the init return before this code goes on.
    SleepThread(500);
    new found = 0;
    for (new n = 2; n < 200000; n++)
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
    printf("single_shot_job: thread %d found %d primes below 200000", threadid, found);
}
