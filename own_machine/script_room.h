// The room of a script whose workers run on machines of their own. At
// AmxLoad its data block (globals, heap and stack, at rest) moves here, and
// beyond its stack lies a slot for each live worker: a guard page, then the
// worker's heap and stack, as large as the script declares its own. At
// AmxUnload, once no worker is left in it, the block goes back to the host.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "common/id_pool.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "own_machine/reserved_room.h"

// What a script's natives table and public variables say at AmxLoad: whether
// its workers get machines of their own. Only a script that imports a native
// creating threads does, and none that asks to keep the shared machine
// (through the include) or that a JIT plugin runs.
bool wantsOwnMachines(AMX* amx);

class ScriptRoom {
  public:
    // Throws std::bad_alloc when there is no address space or memory for it.
    explicit ScriptRoom(AMX* amx);
    // Copies the block back where the host had it, and sets data and the
    // registers exactly as the host left them.
    ~ScriptRoom();
    ScriptRoom(const ScriptRoom&) = delete;
    ScriptRoom& operator=(const ScriptRoom&) = delete;

    // Sets aside a slot and commits its pages; false when none is left, which
    // the server log says once for the script.
    bool takeSlot(size_t* slot) VANTREL_REQUIRES(registryGuard);
    void giveBack(size_t slot) VANTREL_REQUIRES(registryGuard);
    // A slot's heap and stack as offsets from data: the heap's bottom, and
    // the stack's top cell, which holds a zero.
    cell heapBottom(size_t slot) const;
    cell stackTop(size_t slot) const;
    // The script's own block: globals, heap and stack.
    cell blockBytes() const { return static_cast<cell>(blockBytes_); }

    // Whether a worker's call of the native at this index is refused: the
    // server's natives that keep the machine they are handed for a later
    // call, which a worker's machine does not outlive. The first refusal of
    // each is owed to the server's log.
    bool refuses(cell nativeIndex) {
        return nativeIndex >= 0 && static_cast<size_t>(nativeIndex) < refusedAt_.size() &&
               refusedAt_[nativeIndex] != 0 && refuse(refusedAt_[nativeIndex] - 1);
    }

    // The server's log is written on its main thread only, like the rest of
    // the server: lines become due on any thread, and the main thread takes
    // them, each at most once for the script.
    static bool noticesDue() {
        // Read first: every tick asks, and a locked exchange would cost it
        // more than the rest of an idle tick.
        return noticesDue_.load(std::memory_order_relaxed) &&
               noticesDue_.exchange(false, std::memory_order_acquire);
    }
    std::vector<std::string> takeNotices();

  private:
    enum class Notice : unsigned char { Unsaid, Due, Said };
    // Whether some room owes the log a line.
    static std::atomic<bool> noticesDue_;
    // One for each refused native, then one for a full room.
    static constexpr size_t kFullNotice = 3;
    bool refuse(size_t which);
    void owe(size_t notice);
    // Names the script in the server's log.
    std::string describe() const;

    AMX* const amx_;
    unsigned char* const hostBlock_;
    unsigned char* const hostData_;
    const cell hlw_, hea_, stk_, stp_;
    const size_t blockBytes_;
    const size_t scriptBytes_;
    const size_t areaBytes_;
    const size_t slotBytes_;
    // As many as the address space had room for at AmxLoad.
    size_t slots_;
    ReservedRoom room_;
    IdPool taken_ VANTREL_GUARDED_BY(registryGuard);
    // Slots below it have their pages committed: ids are the smallest free,
    // so a slot is taken only once every slot below it has been.
    size_t committed_ VANTREL_GUARDED_BY(registryGuard) = 0;
    // For each native index, 1 + which refused native it is, or 0.
    std::basic_string<unsigned char> refusedAt_;
    std::array<std::atomic<Notice>, kFullNotice + 1> notices_{};
};
