#include "own_machine/script_room.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "host/host.h"
#include "host/script_file.h"

namespace {

// Natives that keep the machine they are handed and call the script through
// it later: a worker's machine is gone by then, and the server would not find
// the script by it when it unloads.
constexpr std::array<const char*, 3> kRefusedNatives = {"SetTimer", "SetTimerEx", "HTTP"};

// What one script's workers may take of the address space. On a 32-bit
// server 2,048 workers fit at the default stack size (16 KiB and a guard
// page each); a 64-bit process has room to spare, but a machine's addresses
// are cells, below 2 GiB from its data.
constexpr size_t kRoomBudget = sizeof(void*) == 4 ? size_t{64} << 20 : size_t{1} << 30;
constexpr size_t kMostSlots = sizeof(void*) == 4 ? 2048 : 65536;

size_t roundUp(size_t bytes, size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

size_t slotsWithin(size_t scriptBytes, size_t slotBytes) {
    return scriptBytes >= kRoomBudget
               ? 0
               : std::min(kMostSlots, (kRoomBudget - scriptBytes) / slotBytes);
}

// As many slots as the address space holds, down to none: a script whose
// workers find no room still loads, and its CreateThread says why.
ReservedRoom reserve(size_t scriptBytes, size_t slotBytes, size_t* slots) {
    for (;;) {
        try {
            return ReservedRoom(scriptBytes + *slots * slotBytes);
        } catch (const std::bad_alloc&) {
            if (*slots == 0) {
                throw;
            }
            *slots /= 2;
        }
    }
}

}  // namespace

bool wantsOwnMachines(AMX* amx) {
    int index = 0;
    bool createsThreads = host::FindNative(amx, "CreateThread", &index) == AMX_ERR_NONE ||
                          host::FindNative(amx, "CreateThreadEx", &index) == AMX_ERR_NONE;
    return createsThreads && !host::DeclaresPublicVariable(amx, "vantrel_shared_machine") &&
           !host::DeclaresPublicVariable(amx, "__JIT");
}

ScriptRoom::ScriptRoom(AMX* amx)
    : amx_(amx),
      hostBlock_(host::DataBlock(amx)),
      hostData_(amx->data),
      hlw_(amx->hlw),
      hea_(amx->hea),
      stk_(amx->stk),
      stp_(amx->stp),
      blockBytes_(static_cast<size_t>(stp_) + sizeof(cell)),
      scriptBytes_(roundUp(blockBytes_, ReservedRoom::pageBytes())),
      areaBytes_(roundUp(blockBytes_ - static_cast<size_t>(hlw_), ReservedRoom::pageBytes())),
      slotBytes_(ReservedRoom::pageBytes() + areaBytes_),
      slots_(slotsWithin(scriptBytes_, slotBytes_)),
      room_(reserve(scriptBytes_, slotBytes_, &slots_)) {
    if (!room_.commit(0, scriptBytes_)) {
        throw std::bad_alloc();
    }
    std::memcpy(room_.begin(), hostBlock_, blockBytes_);
    for (size_t which = 0; which < kRefusedNatives.size(); ++which) {
        int index = 0;
        if (host::FindNative(amx, kRefusedNatives[which], &index) == AMX_ERR_NONE && index >= 0) {
            if (refusedAt_.size() <= static_cast<size_t>(index)) {
                refusedAt_.resize(static_cast<size_t>(index) + 1, 0);
            }
            refusedAt_[static_cast<size_t>(index)] = static_cast<unsigned char>(which + 1);
        }
    }
    amx->data = room_.begin();
    // The SA-MP server rewrites a call site of the shared code at its first
    // call while this is set, and a worker executing that site meanwhile
    // could read half a rewrite. Without it every native goes through the
    // machine's callback, which is where a worker's calls are checked.
    amx->sysreq_d = 0;
}

ScriptRoom::~ScriptRoom() {
    std::memcpy(hostBlock_, room_.begin(), blockBytes_);
    amx_->data = hostData_;
    amx_->hlw = hlw_;
    amx_->hea = hea_;
    amx_->stk = stk_;
    amx_->stp = stp_;
}

bool ScriptRoom::takeSlot(size_t* slot) {
    bool taken = false;
    if (taken_.claimed() < slots_) {
        try {
            taken_.reserve();
            *slot = static_cast<size_t>(taken_.take()) - 1;
            taken = *slot < committed_ ||
                    room_.commit(scriptBytes_ + *slot * slotBytes_ + ReservedRoom::pageBytes(),
                                 areaBytes_);
            if (!taken) {
                taken_.release(static_cast<cell>(*slot + 1));
            } else if (*slot == committed_) {
                ++committed_;
            }
        } catch (const std::bad_alloc&) {
        }
    }
    if (!taken) {
        owe(kFullNotice);
    }
    return taken;
}

void ScriptRoom::giveBack(size_t slot) {
    taken_.release(static_cast<cell>(slot + 1));
}

cell ScriptRoom::heapBottom(size_t slot) const {
    return static_cast<cell>(scriptBytes_ + slot * slotBytes_ + ReservedRoom::pageBytes());
}

cell ScriptRoom::stackTop(size_t slot) const {
    return heapBottom(slot) + static_cast<cell>(areaBytes_) - static_cast<cell>(sizeof(cell));
}

std::atomic<bool> ScriptRoom::noticesDue_{false};

bool ScriptRoom::refuse(size_t which) {
    owe(which);
    return true;
}

void ScriptRoom::owe(size_t notice) {
    Notice unsaid = Notice::Unsaid;
    if (notices_[notice].compare_exchange_strong(unsaid, Notice::Due, std::memory_order_relaxed)) {
        noticesDue_.store(true, std::memory_order_release);
    }
}

std::vector<std::string> ScriptRoom::takeNotices() {
    std::vector<std::string> lines;
    for (size_t notice = 0; notice < notices_.size(); ++notice) {
        if (notices_[notice].load(std::memory_order_relaxed) != Notice::Due) {
            continue;
        }
        // Said only once the line is built: one that could not be is owed
        // still.
        if (notice != kFullNotice) {
            lines.push_back(std::string("Vantrel: refused ") + kRefusedNatives[notice] +
                            " from a worker of " + describe() +
                            ": it keeps the machine it is handed for a later call, which only "
                            "the main thread's machine outlives");
        } else if (slots_ == 0) {
            lines.push_back("Vantrel: no room for a worker of " + describe() +
                            " (the address space holds none with a stack of " +
                            std::to_string(areaBytes_ / 1024) +
                            " KiB): CreateThread and CreateThreadEx return 0");
        } else {
            lines.push_back("Vantrel: no room for another worker of " + describe() + " (" +
                            std::to_string(slots_) + " workers with a stack of " +
                            std::to_string(areaBytes_ / 1024) +
                            " KiB each fill what one script may reserve): CreateThread and "
                            "CreateThreadEx return 0 until one ends");
        }
        notices_[notice].store(Notice::Said, std::memory_order_relaxed);
    }
    return lines;
}

std::string ScriptRoom::describe() const {
    int index = 0;
    const char* kind =
        host::FindPublic(amx_, "OnGameModeInit", &index) == AMX_ERR_NONE       ? "the gamemode"
        : host::FindPublic(amx_, "OnFilterScriptInit", &index) == AMX_ERR_NONE ? "the filterscript"
                                                                               : "the script";
    // %p prints no 0x on Windows.
    char address[32];
    std::snprintf(address, sizeof address, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(amx_));
    return std::string(kind) + " at " + address;
}
