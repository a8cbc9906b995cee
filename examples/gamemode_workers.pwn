// A gamemode whose two workers count primes in the background while players
// play: /primes tells a player how far they have got, and a timer tells
// everyone once a minute.
//
// It follows the rules at the top of vantrel.inc and GETTING RESULTS TO THE
// SERVER there. Each worker sieves every other block of numbers with the
// script's own functions and a local array on its own stack, calls no
// native but the plugin's, and hands its counts over under its own thread's
// lock. The command and the timer run on the server's main thread while the
// workers compute: they copy both workers' counts under the same two locks
// and leave the server's natives (format, SendClientMessage) to that thread.

#include <a_samp>
#include <vantrel>

// A worker's sieve is a local array of BLOCK_SIZE cells (32 KiB), more than
// the default 16 KiB of stack and heap: this gives the script, and with it
// every worker, 64 KiB (see HOW MUCH ROOM A WORKER TAKES in vantrel.inc).
#pragma dynamic 16384

// The search ends at BLOCKS * BLOCK_SIZE, 8,388,608.
#define BLOCK_SIZE 8192
#define BLOCKS 1024

// The workers' thread ids: written by OnGameModeInit, read by the command
// and the timer, all on the main thread. The workers use the ids they
// receive, since each may be running before CreateThread has returned.
new g_workers[2];

// Each worker's counts: written by that worker and read on the main thread,
// under that worker's lock.
new g_blocksDone[2];
new g_primesFound[2];

forward SearchEvenBlocks(threadid);
forward SearchOddBlocks(threadid);
forward AnnounceProgress();

main()
{
}

public OnGameModeInit()
{
    g_workers[0] = CreateThread("SearchEvenBlocks");
    g_workers[1] = CreateThread("SearchOddBlocks");
    if (g_workers[0] == 0 || g_workers[1] == 0)
    {
        print("gamemode_workers: could not start both workers");
    }
    SetTimer("AnnounceProgress", 60000, true);
    return 1;
}

// Run on the workers, each over and over until the gamemode ends: one block
// a call, the first worker's blocks even, the second's odd.
public SearchEvenBlocks(threadid)
{
    SearchNextBlock(threadid, 0);
}

public SearchOddBlocks(threadid)
{
    SearchNextBlock(threadid, 1);
}

// On a worker. It computes outside the lock, so that the command and the
// timer wait for no more than two assignments.
SearchNextBlock(threadid, worker)
{
    new lock = LockThread(threadid);
    new block = g_blocksDone[worker] * 2 + worker;
    UnLockThread(lock);
    if (block >= BLOCKS)
    {
        // Done: the thread stays, so that its lock still guards the counts.
        SleepThread(60000);
        return;
    }

    new found = CountPrimesIn(block * BLOCK_SIZE);

    lock = LockThread(threadid);
    g_blocksDone[worker]++;
    g_primesFound[worker] += found;
    UnLockThread(lock);
}

// Counts the primes in [low, low + BLOCK_SIZE).
CountPrimesIn(low)
{
    new bool:composite[BLOCK_SIZE];
    new high = low + BLOCK_SIZE;
    for (new d = 2; d * d < high; d++)
    {
        new n = (low + d - 1) / d * d;
        if (n < d * d)
        {
            n = d * d;
        }
        for (; n < high; n += d)
        {
            composite[n - low] = true;
        }
    }

    new found;
    for (new i = 0; i < BLOCK_SIZE; i++)
    {
        if (!composite[i] && low + i >= 2)
        {
            found++;
        }
    }
    return found;
}

// On the main thread only: format is the server's.
FormatProgress(message[], size)
{
    new blocks, primes;
    for (new worker = 0; worker < sizeof g_workers; worker++)
    {
        new lock = LockThread(g_workers[worker]);
        blocks += g_blocksDone[worker];
        primes += g_primesFound[worker];
        UnLockThread(lock);
    }
    format(message, size, "Primes: %d found in %d of %d blocks of %d numbers",
        primes, blocks, BLOCKS, BLOCK_SIZE);
}

public OnPlayerCommandText(playerid, cmdtext[])
{
    if (strcmp(cmdtext, "/primes", true) != 0)
    {
        return 0;
    }
    new message[96];
    FormatProgress(message, sizeof message);
    SendClientMessage(playerid, 0xFFFFFFFF, message);
    return 1;
}

public AnnounceProgress()
{
    new message[96];
    FormatProgress(message, sizeof message);
    SendClientMessageToAll(0xFFFFFFFF, message);
}

// Nothing to do at exit: the server kills the timer, and the plugin stops
// the workers when the gamemode is unloaded (gmx, changemode).
