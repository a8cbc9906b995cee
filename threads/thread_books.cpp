#include "threads/thread_books.h"

void ThreadBooks::reserve() {
    ids.reserve();
    try {
        byId.make(ids.claimed() - 1);
    } catch (...) {
        ids.cancel();
        throw;
    }
}

void ThreadBooks::add(S_Thread& thread) {
    ThreadEntry& entry = *entryOf(thread.id);
    entry.thread = &thread;
    entry.mutex.store(&thread.mutex, std::memory_order_release);
}

void ThreadBooks::releaseId(S_Thread& thread) {
    ThreadEntry& entry = *entryOf(thread.id);
    if (entry.thread == &thread) {
        entry.thread = nullptr;
        entry.mutex.store(nullptr, std::memory_order_release);
        ids.release(thread.id);
    }
}

void ThreadBooks::addStart(S_Thread& thread, Creations& creator) {
    thread.startPending = true;
    startsPending.fetch_add(1, std::memory_order_release);
    movePending(thread, &creator.created);
}

void ThreadBooks::removeStart(S_Thread& thread) {
    if (thread.startPending) {
        thread.startPending = false;
        startsPending.fetch_sub(1, std::memory_order_release);
    }
    movePending(thread, nullptr);
    if (thread.awaitedBy != nullptr) {
        thread.awaitedBy->awaited.erase(AwaitList::s_iterator_to(thread));
        thread.awaitedBy = nullptr;
    }
}

void ThreadBooks::movePending(S_Thread& thread, PendingList* to) {
    if (thread.pendingIn != nullptr) {
        thread.pendingIn->erase(PendingList::s_iterator_to(thread));
    }
    thread.pendingIn = to;
    if (to != nullptr) {
        to->push_back(thread);
    }
}

bool transition(S_Thread& thread, ThreadEvent event, ThreadBooks& books) {
    ThreadState from = thread.state();
    std::optional<ThreadState> to = nextState(from, event);
    if (!to) {
        return false;
    }
    if (from == ThreadState::Finished) {
        books.finished.erase(ThreadQueue::s_iterator_to(thread));
    } else if (from == ThreadState::Ended) {
        books.ended.erase(ThreadQueue::s_iterator_to(thread));
    }
    thread.state_.store(*to, std::memory_order_release);
    switch (*to) {
        case ThreadState::Finished:
            books.finished.push_back(thread);
            break;
        case ThreadState::Ended:
            // Nobody uses the id any more: the worker has ended.
            books.releaseId(thread);
            books.ended.push_back(thread);
            break;
        default:
            break;
    }
    if (event == ThreadEvent::DestroySelf) {
        // Its public is told that the thread is gone, while the worker may
        // still run on to its next sleep.
        books.releaseId(thread);
    }
    if (from == ThreadState::Unstarted && *to != ThreadState::Running) {
        // It will never start.
        books.removeStart(thread);
    }
    if (from == ThreadState::Unstarted ||
        (from == ThreadState::Running &&
         (*to == ThreadState::Claimed || *to == ThreadState::Retired))) {
        thread.wake();
    }
    books.pending.store(books.finished.size() + books.ended.size(), std::memory_order_release);
    return true;
}
