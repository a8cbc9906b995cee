// The stacks of one script's data block, used as the real machine uses them,
// through whichever struct an execution is handed: the script's own or one
// that shares its base and data with registers of its own. amx_Push writes
// below that struct's stk and counts in its paramcount; an execution takes
// stk, hea and paramcount at its entry, keeps its own copies while it runs,
// writes them back at each native call, and on return leaves the stack as it
// was before its arguments were pushed. So a new execution on a struct
// builds below whichever execution last entered or called a native there,
// and one that resumes with its own registers writes wherever they say.
//
// Every live execution owns the cells from its own stk up to the end of its
// arguments, and a thread's pushes belong to the execution they are for. A
// write into cells that another live execution owns, through any struct,
// corrupts that execution on the real machine: here it is a fault, as is an
// execution that takes as its arguments cells that its thread did not push
// there. Executions on structs whose stacks lie apart never meet.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "host/host_api.h"

namespace emu {

class MachineStack {
  public:
    using Faults = std::function<void(const std::string&)>;

    // Arguments are kept inline: the plugin executes publics in tight loops,
    // and the host's own costs must not hide the plugin's.
    static constexpr size_t kMaxArgs = 16;
    // The machine's error for a stack that has no room left.
    static constexpr int kStackError = 3;

    // One live execution, or the pushes a thread has made for its next one.
    // Its owner keeps it; the machine links it while it lives.
    struct Execution {
        const char* what = "";
        // The struct it runs on.
        AMX* amx = nullptr;
        // Where its arguments end: the stack it leaves behind.
        cell top = 0;
        // Its own registers.
        cell stk = 0;
        cell hea = 0;
        // Its arguments as its code found them at its start.
        cell args[kMaxArgs] = {};
        size_t argCount = 0;

      private:
        friend class MachineStack;
        // The machine whose books it is on, or null.
        MachineStack* machine = nullptr;
        Execution* prev = nullptr;
        Execution* next = nullptr;
    };

    MachineStack() = default;
    ~MachineStack();
    MachineStack(const MachineStack&) = delete;
    MachineStack& operator=(const MachineStack&) = delete;

    // Where faults go.
    void reportTo(Faults faults);
    // Every execution gets its arguments as its own thread pushed them and
    // nothing is checked: for the benchmarks, which time the plugin, not
    // this model.
    void keepApart() { apart_ = true; }
    bool apart() const { return apart_; }

    // amx_Push.
    int push(AMX& amx, cell value);
    // amx_Exec's entry on amx: takes its registers and builds a frame of
    // frameCells locals for e. False when the stack has no room for it.
    bool enter(Execution& e, AMX& amx, const char* what, size_t frameCells);
    // A native call of e, executions not kept apart: pushes the native's
    // arguments and writes e's registers back. Returns the native's argument
    // cells.
    cell* callNative(Execution& e, const cell* args, size_t count);
    void returnFromNative(Execution& e, size_t count);
    // Places cells on e's heap, at its hea, as the HEAP opcode makes room;
    // the address, or -1 when the heap would meet the stack. free gives the
    // room back, latest first.
    cell allot(Execution& e, const cell* cells, size_t count);
    void free(Execution& e, size_t count);
    // What recursive code with local arrays does: writes a pattern into that
    // many cells below e's stk, unchecked as PUSH is.
    void useStack(Execution& e, size_t count);
    // amx_Exec's return.
    void leave(Execution& e);

    // Executions started and not yet returned.
    int live() const;
    int pushes() const;

  private:
    void link(Execution& e);
    void unlink(Execution& e);
    // Records a fault when cells [low, high) belong to a live execution other
    // than writer.
    void checkWrite(const Execution& writer, cell low, cell high, const char* how);
    bool apart_ = false;
    mutable std::mutex guard_;
    Faults faults_;
    Execution* first_ = nullptr;
    int live_ = 0;
    int pushes_ = 0;
};

}  // namespace emu
