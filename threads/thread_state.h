// The life of a script thread: its states, the events that move it, and the
// one table of what each event does in each state.
#pragma once

#include <cstddef>
#include <optional>

enum class ThreadState {
    // The worker waits to start its public until the code that created the
    // thread is out of the script's way (threads/s_manager_starts.cpp).
    Unstarted,
    // The worker runs its public.
    Running,
    // Its single-shot public has returned; the id waits for a tick.
    Finished,
    // A destroyer waits for the worker to end, and then frees the thread.
    Claimed,
    // Stopped with nobody waiting: the worker ends at its next sleep.
    Retired,
    // The worker has ended with nobody waiting; a tick or an unload frees it.
    Ended,
    // Held by whoever claimed it, who joins the worker and frees the thread.
    Freeing,
};

enum class ThreadEvent {
    // The worker may push its argument and run its public.
    Start,
    // The worker's single-shot public has returned.
    Return,
    // The worker runs no more script code.
    Exit,
    // DestroyThread, a tick or an unload takes the thread, to free it.
    Claim,
    // It is stopped with nobody to free it: its script unloads, or its
    // public is being abandoned.
    Retire,
    // Its own public destroyed it: its id is free at once.
    DestroySelf,
    // Its destroyer stops waiting for it, since the destroyer's script
    // unloads.
    GiveUp,
};

// What each event makes of each state; an empty cell means the event
// changes nothing there. From Claimed, Retired and Ended on, the worker runs
// no new call of its public, and a running one ends at its next SleepThread,
// or at a DestroyThread that would wait. A thread stopped before it started
// runs nothing.
constexpr std::optional<ThreadState> nextState(ThreadState state, ThreadEvent event) {
    using S = ThreadState;
    constexpr std::optional<S> no = std::nullopt;
    // clang-format off
    constexpr std::optional<S> table[7][7] = {
        //              Start       Return       Exit        Claim       Retire      DestroySelf GiveUp
        /* Unstarted */ {S::Running, no,          no,         S::Claimed, S::Retired, no,         no},
        /* Running   */ {no,         S::Finished, S::Ended,   S::Claimed, S::Retired, S::Retired, no},
        /* Finished  */ {no,         no,          no,         S::Freeing, S::Ended,   no,         no},
        /* Claimed   */ {no,         no,          S::Freeing, no,         no,         no,         S::Retired},
        /* Retired   */ {no,         no,          S::Ended,   no,         no,         no,         no},
        /* Ended     */ {no,         no,          no,         S::Freeing, no,         no,         no},
        /* Freeing   */ {no,         no,          no,         no,         no,         no,         no},
    };
    // clang-format on
    return table[static_cast<size_t>(state)][static_cast<size_t>(event)];
}
