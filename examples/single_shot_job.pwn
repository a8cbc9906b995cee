// A slow computation run once on a worker, so that the server does not stall
// while it runs. The job lives in a script of its own whose only other code
// is its init, and it is started as the init's last statement: no other code
// of this script ever runs beside it.

#define FILTERSCRIPT

#include <a_samp>
#include <vantrel>

forward CountPrimes(threadid);

public OnFilterScriptInit()
{
    if (CreateThreadEx("CountPrimes") == 0)
    {
        print("single_shot_job: could not start the job");
    }
    return 1;
}

// Runs once, on the worker. The thread ends when this public returns; its id
// stays taken until a server tick reaps the finished thread.
public CountPrimes(threadid)
{
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
