#include "emuhost/machine_stack.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "emuhost/registers.h"

namespace emu {

namespace {

constexpr cell kCell = static_cast<cell>(sizeof(cell));
// What a call pushes besides its locals: the argument count, the return
// address and the caller's frame.
constexpr cell kFrameHeader = 3;

// Read from the struct's data pointer at every access: the plugin may move
// the block.
cell* cellAt(const AMX& amx, cell address) {
    return reinterpret_cast<cell*>(dataOf(amx) + address);
}

// Each thread's pushes for the execution it is about to start, made at its
// first push and kept for the process's life: a thread that ends with pushes
// nobody executed leaves them on the machine's books, as the real machine's
// stack keeps them. Not a thread_local with a destructor: on Windows the
// runtime takes the loader lock at a thread's first use of one and runs its
// destructor at the thread's exit under the loader lock and winpthreads' key
// lock, so that with a machine's guard taken on both sides the test program
// hung, while running or at its exit.
MachineStack::Execution& threadPushes() {
    static thread_local MachineStack::Execution* own = nullptr;
    if (own == nullptr) {
        static std::mutex guard;
        static auto* kept = new std::vector<std::unique_ptr<MachineStack::Execution>>;
        std::lock_guard<std::mutex> lock(guard);
        kept->push_back(std::make_unique<MachineStack::Execution>());
        own = kept->back().get();
    }
    return *own;
}

}  // namespace

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

int MachineStack::push(AMX& amx, cell value) {
    Execution& pending = threadPushes();
    if (pending.machine != nullptr && (pending.machine != this || pending.amx != &amx)) {
        std::lock_guard<std::mutex> lock(pending.machine->guard_);
        pending.machine->unlink(pending);
    }
    std::lock_guard<std::mutex> lock(guard_);
    if (pending.machine != this) {
        pending.what = "the pushes of a thread";
        pending.amx = &amx;
        pending.top = load(amx, Register::stk);
        pending.stk = pending.top;
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
    cell address = load(amx, Register::stk) - kCell;
    if (address < load(amx, Register::hea)) {
        return kStackError;
    }
    checkWrite(pending, address, address + kCell, "amx_Push");
    *cellAt(amx, address) = value;
    store(amx, Register::stk, address);
    store(amx, Register::paramcount, load(amx, Register::paramcount) + 1);
    pending.stk = address;
    return AMX_ERR_NONE;
}

bool MachineStack::enter(Execution& e, AMX& amx, const char* what, size_t frameCells) {
    std::lock_guard<std::mutex> lock(guard_);
    e.what = what;
    e.amx = &amx;
    e.argCount = 0;
    Execution& pending = threadPushes();
    bool pushed = pending.machine == this && pending.amx == &amx;
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
    cell stk = load(amx, Register::stk);
    cell count = load(amx, Register::paramcount);
    store(amx, Register::paramcount, 0);
    cell top = stk + count * kCell;
    if (count < 0 || static_cast<size_t>(count) > kMaxArgs || top > load(amx, Register::stp)) {
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
    std::copy(cellAt(amx, stk), cellAt(amx, top), e.args);
    e.hea = load(amx, Register::hea);
    cell frame = (kFrameHeader + static_cast<cell>(frameCells)) * kCell;
    if (stk - frame < e.hea) {
        unlink(e);
        --live_;
        return false;
    }
    checkWrite(e, stk - frame, top, "its arguments and frame");
    e.stk = stk - frame;
    std::fill(cellAt(amx, e.stk), cellAt(amx, stk), 0);
    *cellAt(amx, stk - kCell) = count * kCell;
    return true;
}

cell* MachineStack::callNative(Execution& e, const cell* args, size_t count) {
    std::lock_guard<std::mutex> lock(guard_);
    cell low = e.stk - static_cast<cell>(count + 1) * kCell;
    // The code rewrites its locals between native calls, and pushes the
    // native's arguments below them.
    checkWrite(e, low, e.top, "a native call");
    e.stk = low;
    AMX& amx = *e.amx;
    cell* params = cellAt(amx, low);
    params[0] = static_cast<cell>(count) * kCell;
    std::copy(args, args + count, params + 1);
    store(amx, Register::stk, e.stk);
    store(amx, Register::hea, e.hea);
    return params;
}

void MachineStack::returnFromNative(Execution& e, size_t count) {
    std::lock_guard<std::mutex> lock(guard_);
    e.stk += static_cast<cell>(count + 1) * kCell;
}

cell MachineStack::allot(Execution& e, const cell* cells, size_t count) {
    std::lock_guard<std::mutex> lock(guard_);
    cell address = e.hea;
    cell end = address + static_cast<cell>(count) * kCell;
    if (end > e.stk) {
        return -1;
    }
    checkWrite(e, address, end, "its heap");
    std::copy(cells, cells + count, cellAt(*e.amx, address));
    e.hea = end;
    return address;
}

void MachineStack::free(Execution& e, size_t count) {
    std::lock_guard<std::mutex> lock(guard_);
    e.hea -= static_cast<cell>(count) * kCell;
}

void MachineStack::useStack(Execution& e, size_t count) {
    cell low = e.stk - static_cast<cell>(count) * kCell;
    {
        std::lock_guard<std::mutex> lock(guard_);
        checkWrite(e, low, e.stk, "its locals");
    }
    // Unlocked: a write into a guard page must fault as it would in script
    // code, not with the books held.
    volatile cell* cells = cellAt(*e.amx, low);
    for (size_t i = count; i-- > 0;) {
        cells[i] = static_cast<cell>(0x5A5A0000u | (i & 0xFFFFu));
    }
}

void MachineStack::leave(Execution& e) {
    std::lock_guard<std::mutex> lock(guard_);
    if (!apart_) {
        store(*e.amx, Register::stk, e.top);
        store(*e.amx, Register::hea, e.hea);
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
