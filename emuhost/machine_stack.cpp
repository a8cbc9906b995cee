#include "emuhost/machine_stack.h"

#include <algorithm>

namespace emu {

namespace {

constexpr cell kCell = static_cast<cell>(sizeof(cell));
// What a call pushes besides its locals: the argument count, the return
// address and the caller's frame.
constexpr cell kFrameHeader = 3;

}  // namespace

// Each thread's pushes for the execution it is about to start. A thread that
// ends with pushes nobody executed takes them off the machine's books.
struct MachineStack::Pending {
    Execution pushes;
    ~Pending() {
        if (MachineStack* machine = pushes.machine) {
            std::lock_guard<std::mutex> lock(machine->guard_);
            machine->unlink(pushes);
        }
    }
};

namespace {
thread_local MachineStack::Pending threadPushes;
}  // namespace

MachineStack::MachineStack(AMX& amx, cell* cells, size_t first, size_t end)
    : amx_(amx), cells_(cells) {
    amx_.stp = static_cast<cell>(end) * kCell;
    amx_.stk = amx_.stp;
    amx_.hea = static_cast<cell>(first) * kCell;
}

MachineStack::~MachineStack() {
    // Pushes nobody executed: the thread's record must not point here.
    while (first_ != nullptr) {
        unlink(*first_);
    }
}

void MachineStack::reportTo(Faults faults) {
    std::lock_guard<std::mutex> lock(guard_);
    faults_ = std::move(faults);
}

void MachineStack::link(Execution& e) {
    e.machine = this;
    e.prev = nullptr;
    e.next = first_;
    if (first_ != nullptr) {
        first_->prev = &e;
    }
    first_ = &e;
}

void MachineStack::unlink(Execution& e) {
    (e.prev != nullptr ? e.prev->next : first_) = e.next;
    if (e.next != nullptr) {
        e.next->prev = e.prev;
    }
    e.machine = nullptr;
}

int MachineStack::push(cell value) {
    Execution& pending = threadPushes.pushes;
    if (pending.machine != this && pending.machine != nullptr) {
        std::lock_guard<std::mutex> lock(pending.machine->guard_);
        pending.machine->unlink(pending);
    }
    std::lock_guard<std::mutex> lock(guard_);
    if (pending.machine != this) {
        pending.what = "the pushes of a thread";
        pending.top = amx_.stk;
        pending.stk = amx_.stk;
        pending.argCount = 0;
        link(pending);
    }
    ++pushes_;
    if (pending.argCount == kMaxArgs) {
        return kStackError;
    }
    // The last pushed value is the first argument.
    std::copy_backward(pending.args, pending.args + pending.argCount,
                       pending.args + pending.argCount + 1);
    pending.args[0] = value;
    ++pending.argCount;
    if (apart_) {
        return AMX_ERR_NONE;
    }
    cell address = amx_.stk - kCell;
    if (address < amx_.hea) {
        return kStackError;
    }
    checkWrite(pending, address, address + kCell, "amx_Push");
    *cellAt(address) = value;
    amx_.stk = address;
    ++amx_.paramcount;
    pending.stk = address;
    return AMX_ERR_NONE;
}

bool MachineStack::enter(Execution& e, const char* what, size_t frameCells) {
    std::lock_guard<std::mutex> lock(guard_);
    e.what = what;
    e.argCount = 0;
    Execution& pending = threadPushes.pushes;
    bool pushed = pending.machine == this;
    if (pushed) {
        e.top = pending.top;
        e.stk = pending.stk;
        e.argCount = pending.argCount;
        std::copy(pending.args, pending.args + pending.argCount, e.args);
        unlink(pending);
    }
    link(e);
    ++live_;
    if (apart_) {
        return true;
    }
    cell stk = amx_.stk;
    cell count = amx_.paramcount;
    amx_.paramcount = 0;
    cell top = stk + count * kCell;
    if (count < 0 || static_cast<size_t>(count) > kMaxArgs || top > amx_.stp) {
        count = 0;
        top = stk;
    }
    if (pushed ? e.stk != stk || e.top != top : count != 0) {
        if (faults_) {
            faults_(std::string(what) + " took " + std::to_string(count) +
                    " cells as its arguments that its thread did not push there: another "
                    "execution moved the machine's stack between its pushes and its start");
        }
    }
    // Its code finds its arguments where the registers say, whoever put them
    // there.
    e.top = top;
    e.argCount = static_cast<size_t>(count);
    std::copy(cellAt(stk), cellAt(top), e.args);
    e.hea = amx_.hea;
    cell frame = (kFrameHeader + static_cast<cell>(frameCells)) * kCell;
    if (stk - frame < amx_.hea) {
        unlink(e);
        --live_;
        return false;
    }
    checkWrite(e, stk - frame, top, "its arguments and frame");
    e.stk = stk - frame;
    std::fill(cellAt(e.stk), cellAt(stk), 0);
    *cellAt(stk - kCell) = count * kCell;
    return true;
}

cell* MachineStack::callNative(Execution& e, const cell* args, size_t count) {
    std::lock_guard<std::mutex> lock(guard_);
    cell low = e.stk - static_cast<cell>(count + 1) * kCell;
    // The code rewrites its locals between native calls, and pushes the
    // native's arguments below them.
    checkWrite(e, low, e.top, "a native call");
    e.stk = low;
    *cellAt(low) = static_cast<cell>(count) * kCell;
    std::copy(args, args + count, cellAt(low + kCell));
    amx_.stk = e.stk;
    amx_.hea = e.hea;
    return cellAt(low);
}

void MachineStack::returnFromNative(Execution& e, size_t count) {
    std::lock_guard<std::mutex> lock(guard_);
    e.stk += static_cast<cell>(count + 1) * kCell;
}

void MachineStack::leave(Execution& e) {
    std::lock_guard<std::mutex> lock(guard_);
    if (!apart_) {
        amx_.stk = e.top;
        amx_.hea = e.hea;
    }
    unlink(e);
    --live_;
}

int MachineStack::live() const {
    std::lock_guard<std::mutex> lock(guard_);
    return live_;
}

int MachineStack::pushes() const {
    std::lock_guard<std::mutex> lock(guard_);
    return pushes_;
}

void MachineStack::checkWrite(const Execution& writer, cell low, cell high, const char* how) {
    for (const Execution* other = first_; other != nullptr; other = other->next) {
        if (other != &writer && other->stk < high && low < other->top) {
            if (faults_) {
                faults_(std::string(writer.what) + " wrote, by " + how + ", stack cells that " +
                        other->what + " owns: two executions of one machine overlap on its stack");
            }
            return;
        }
    }
}

}  // namespace emu
