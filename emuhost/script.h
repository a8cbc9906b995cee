// A stand-in for one of the server's script machines. Publics are C++
// callables; their native calls reach the plugin exactly as compiled Pawn
// code would: argument cells on the machine's one stack, strings as
// addresses into the machine's own data, the error field cleared before a
// native as the server's callback clears it and checked after every native.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "emuhost/machine_stack.h"
#include "host/host_api.h"

namespace emu {

class Script;

// One argument as script code passes it: a plain cell or a string, which the
// machine places in its data and passes by address.
class Arg {
  public:
    Arg(cell value) : kind_(Kind::Cell), value_(value) {}  // NOLINT: cells convert implicitly

    static Arg str(std::string text) { return Arg(Kind::String, std::move(text)); }
    static Arg packed(std::string text) { return Arg(Kind::Packed, std::move(text)); }

  private:
    enum class Kind { Cell, String, Packed };
    Arg(Kind kind, std::string text) : kind_(kind), value_(0), text_(std::move(text)) {}

    Kind kind_;
    cell value_;
    std::string text_;
    friend class Call;
};

inline Arg str(std::string text) {
    return Arg::str(std::move(text));
}
inline Arg packed(std::string text) {
    return Arg::packed(std::move(text));
}

// Where compiled code calls a native. The SA-MP server lets the first call
// of each site through its callback, which clears the error field, and then
// rewrites the site to call the native directly.
struct CallSite {
    const char* file;
    int line;
};

// The call sites a machine has rewritten. Looked at by every native call, on
// any thread, so without a lock: the host's own costs must not hide the
// plugin's.
class RewrittenSites {
  public:
    // True at the site's first call only.
    bool firstCall(CallSite site);

  private:
    static constexpr size_t kSlots = 4096;
    // A site's file name (a literal, so one address per file) and line; 0
    // marks a free slot. Once full, every site counts as rewritten.
    std::atomic<uint64_t> slots_[kSlots] = {};
};

// The script code of one execution: what a public or the main script sees.
class Call {
  public:
    static const size_t kMaxArgs = MachineStack::kMaxArgs;

    Call(Script& script, MachineStack::Execution& execution);

    // Calls a registered native; when it raised an error the machine abandons
    // this code, so the call does not return. The call site is where this is
    // called from.
    cell native(const std::string& name, std::initializer_list<Arg> args = {},
                const char* file = __builtin_FILE(), int line = __builtin_LINE());
    // The same with a native resolved beforehand and plain cell arguments.
    cell invoke(AMX_NATIVE native, std::initializer_list<cell> args,
                const char* file = __builtin_FILE(), int line = __builtin_LINE());

    // The arguments the execution found on the stack at its start, first
    // argument first.
    cell arg(size_t index) const;
    Script& script() { return script_; }

  private:
    // Inlined in both callers: the host's own costs must not hide the
    // plugin's.
    [[gnu::always_inline]] inline cell call(AMX_NATIVE native, cell* params, size_t count,
                                            const char* name, CallSite site);

    Script& script_;
    MachineStack::Execution& execution_;
};

using Public = std::function<void(Call&)>;

struct ScriptDefinition {
    std::vector<std::pair<std::string, Public>> publics = {};
    // Natives the script calls; registration fails while one is missing.
    std::vector<std::string> natives = {};
    // The data, the top half of it the stack.
    size_t dataCells = 1 << 16;
    // Natives the server itself provides to the script, as it does its own
    // and other plugins'.
    std::vector<std::pair<std::string, AMX_NATIVE>> serverNatives = {};
    // The locals every execution keeps on the stack.
    size_t frameCells = 4;
    // Gives every execution a stack of its own (MachineStack::keepApart).
    bool stacksApart = false;
};

// How the server's callback clears the error field before a native.
enum class ErrorClearing {
    // The SA-MP server: the first call of each call site only.
    FirstCallOfEachSite,
    // open.mp: every call.
    EveryCall,
};

class Script {
  public:
    explicit Script(ScriptDefinition definition);
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    AMX* amx() { return &machine_.amx; }
    static Script& of(AMX* amx);

    // Set by the host that loads the script, before any code runs.
    void reportFaultsTo(MachineStack::Faults faults) { stack_.reportTo(std::move(faults)); }
    void clearErrors(ErrorClearing clearing) { clearing_ = clearing; }

    // Runs code as the server's main thread runs a script's code; returns the
    // machine's error code, 0 when the code ran to its end. As in the real
    // machine, no code runs while a native it calls is unregistered: the
    // server reports error 19.
    int run(const Public& code);
    // amx_Exec of a public, with the arguments pushed before.
    int exec(int index);
    int push(cell value) { return stack_.push(value); }
    // Publics are indexed in name order, as compilers write the table.
    int findPublic(const char* name, int* index) const;
    int numPublics() const { return static_cast<int>(publics_.size()); }
    // Copies the name with its terminator, as the real machine does.
    int getPublic(int index, char* name) const;
    // The longest public name, without its terminator.
    int nameLength() const { return nameLength_; }
    int registerNatives(const AMX_NATIVE_INFO* list, int number);
    AMX_NATIVE resolve(const std::string& name) const;

    // Where a test holds a thread at a chosen moment: before an execution
    // takes the registers, and once a native call has written them back,
    // just before the native runs. Set before the script runs any code.
    std::function<void()> beforeExecution;
    std::function<void(const std::string& native)> atNativeCall;

    // Places cells in the machine's data and returns their script address.
    cell store(const std::vector<cell>& cells);
    void release(cell address);
    cell dataBytes() const { return static_cast<cell>(data_.size() * sizeof(cell)); }
    cell* cellsAt(cell address);

    // Executions started and not yet returned, and pushes made, in all.
    int executions() const { return stack_.live(); }
    int pushes() const { return stack_.pushes(); }

  private:
    friend class Call;
    int execute(const Public& code, const char* what);
    void beforeNative(CallSite site);
    // The machine handle leads a standard-layout block, so the host finds its
    // script from the AMX pointer that natives and exports receive.
    struct Machine {
        AMX amx;
        Script* owner;
    };

    Machine machine_{};
    std::vector<cell> data_;
    std::vector<std::pair<std::string, Public>> publics_;
    int nameLength_ = 0;
    const size_t frameCells_;
    std::vector<std::string> required_;
    std::atomic<bool> nativesComplete_;
    mutable std::mutex nativesGuard_;
    std::map<std::string, AMX_NATIVE> natives_;
    std::mutex heapGuard_;
    std::map<cell, cell> freeBlocks_;  // first cell -> cell count
    std::map<cell, cell> usedBlocks_;
    MachineStack stack_;
    ErrorClearing clearing_ = ErrorClearing::FirstCallOfEachSite;
    RewrittenSites rewrittenSites_;
};

// Packs text as Pawn packs a string: four characters a cell, first in the
// highest byte.
std::vector<cell> packString(const std::string& text);
std::vector<cell> unpackedString(const std::string& text);

}  // namespace emu
