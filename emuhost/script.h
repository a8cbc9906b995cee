// A stand-in for one of the server's script machines. Publics are C++
// callables; their native calls reach the plugin exactly as compiled Pawn
// code would: argument cells on the stack of the struct that executes,
// strings as addresses into the data block, every native reached through
// that struct's callback (or, on the SA-MP server, directly from a call
// site the callback has rewritten) and the struct's error field checked
// after every native. The script file's image sits at base, its tables read
// in place; any struct whose base is the image's runs the script.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "emuhost/amx_image.h"
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

// Where compiled code calls a native. The SA-MP server's callback rewrites
// the site it is called from, while the struct's sysreq_d is non-zero, to
// call the native directly: past the callback, which clears the error field.
struct CallSite {
    const char* file;
    int line;
};

// The call sites a machine has rewritten. Looked at by every native call, on
// any thread, so without a lock: the host's own costs must not hide the
// plugin's.
class RewrittenSites {
  public:
    // Inline, and a look at one flag while none is: compiled code pays
    // nothing for a site that was never rewritten.
    bool rewritten(CallSite site) const {
        return any_.load(std::memory_order_acquire) && find(site);
    }
    void rewrite(CallSite site);

  private:
    bool find(CallSite site) const;
    static uint64_t keyOf(CallSite site);
    static constexpr size_t kSlots = 4096;
    // A site's file name (a literal, so one address per file) and line; 0
    // marks a free slot. Once full, every site counts as rewritten.
    std::atomic<uint64_t> slots_[kSlots] = {};
    std::atomic<bool> any_{false};
};

// A native as compiled code calls it: by its index in the script's native
// table, which the call instruction holds, and once resolved its function.
struct ImportedNative {
    AMX_NATIVE function = nullptr;
    int index = -1;
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
    cell invoke(const ImportedNative& native, std::initializer_list<cell> args,
                const char* file = __builtin_FILE(), int line = __builtin_LINE());

    // The arguments the execution found on the stack at its start, first
    // argument first.
    cell arg(size_t index) const;
    Script& script() { return script_; }
    // The struct this code runs on.
    AMX& amx() { return *execution_.amx; }
    // What recursive code with local arrays does to its stack: writes a
    // pattern into that many cells below the execution's stk, unchecked as
    // PUSH is, so that an overrun runs into whatever lies below.
    void useStack(size_t cells);

  private:
    // Inlined in both callers: the host's own costs must not hide the
    // plugin's. index is known; native is found when needed.
    [[gnu::always_inline]] inline cell call(AMX_NATIVE native, int index, cell* params,
                                            size_t count, const char* name, CallSite site);

    Script& script_;
    MachineStack::Execution& execution_;
};

using Public = std::function<void(Call&)>;

struct ScriptDefinition {
    std::vector<std::pair<std::string, Public>> publics = {};
    // Natives the script calls; registration fails while one is missing.
    // With the names of serverNatives they make the image's native table,
    // in this order: a script calls no native it does not import.
    std::vector<std::string> natives = {};
    // The data block: the lower half globals (public variables first, then
    // the room for strings that code on the script's own struct passes),
    // the upper half heap and stack, its last cell zero.
    size_t dataCells = 1 << 16;
    // Natives the server itself provides to the script, as it does its own
    // and other plugins'.
    std::vector<std::pair<std::string, AMX_NATIVE>> serverNatives = {};
    // `public name = value;` at file scope: a cell each at the start of the
    // globals, in name order, in the image's public-variable table.
    std::vector<std::pair<std::string, cell>> publicVariables = {};
    // The SA-MP server's usual load: the data block inside the image at
    // base + dat, the struct's data null. Otherwise a block of its own, the
    // image's allocation then ending where its size says.
    bool dataInImage = false;
    // Changes the built image (header at base, offsets from the header)
    // before the script is loaded: for files no compiler writes. The host
    // keeps what it knows of the script from the definition, not the image.
    std::function<void(unsigned char* base)> craftImage = {};
    // The locals every execution keeps on the stack.
    size_t frameCells = 4;
    // Gives every execution a stack of its own (MachineStack::keepApart).
    bool stacksApart = false;
};

// How the server's machine reaches natives.
enum class ErrorClearing {
    // The SA-MP server: through the callback, which clears the error field
    // and, while the struct's sysreq_d is non-zero, rewrites the call site
    // to call the native directly from then on.
    FirstCallOfEachSite,
    // open.mp: always through the callback.
    EveryCall,
};

// The registers the host leaves a machine with, which it expects back.
struct RestingRegisters {
    unsigned char* data;
    cell hlw;
    cell hea;
    cell stk;
    cell stp;
    bool operator==(const RestingRegisters& other) const {
        return data == other.data && hlw == other.hlw && hea == other.hea && stk == other.stk &&
               stp == other.stp;
    }
};

class Script {
  public:
    explicit Script(ScriptDefinition definition);
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    // The script's own struct, the one the server loaded.
    AMX* amx() { return &amx_; }
    // The script of any struct whose base is its image.
    static Script& of(AMX* amx) {
        return *static_cast<Script*>(const_cast<void*>(ScriptImage::ownerOf(amx->base)));
    }
    unsigned char* base() const { return image_->base(); }
    // The data block the host allocated: where the script's struct's data
    // starts out, whatever the plugin does with it.
    unsigned char* hostBlock() const { return image_->block(); }
    cell globalsBytes() const { return globalsBytes_; }
    RestingRegisters registers() const;

    // Set by the host that loads the script, before any code runs. The SA-MP
    // model gives the script's struct a non-zero sysreq_d.
    void reportFaultsTo(MachineStack::Faults faults) { stack_.reportTo(std::move(faults)); }
    void clearErrors(ErrorClearing clearing);

    // Runs code as the server's main thread runs a script's code, on the
    // script's own struct or on amx; returns the machine's error code, 0
    // when the code ran to its end. As in the real machine, no code runs
    // while a native it imports is unregistered: the server reports error
    // 19.
    int run(const Public& code) { return run(amx_, code); }
    int run(AMX& amx, const Public& code);
    // amx_Exec of a public on the script's struct or on amx, with the
    // arguments pushed before.
    int exec(int index) { return exec(amx_, index); }
    int exec(AMX& amx, int index);
    int push(cell value) { return stack_.push(amx_, value); }
    int push(AMX& amx, cell value) { return stack_.push(amx, value); }
    // The image's tables as the real machine reads them, unbounded: publics
    // are indexed in name order, as compilers write the table.
    int findPublic(const char* name, int* index) const {
        return image::findPublic(amx_.base, name, index);
    }
    int numPublics() const { return image::numPublics(amx_.base); }
    // Copies the name with its terminator, without a bound, as the real
    // machine does.
    int getPublic(int index, char* name) const;
    // The longest name in the tables, as the image's name table declares it.
    int nameLength() const { return image::nameLength(amx_.base); }
    int registerNatives(const AMX_NATIVE_INFO* list, int number);
    // The function registered for an imported native, or null.
    AMX_NATIVE resolve(const std::string& name) const;
    ImportedNative imported(const std::string& name) const {
        return {resolve(name), nativeIndex(name)};
    }
    // The index of an imported native in the image's table, or -1.
    int nativeIndex(const std::string& name) const;

    // Where a test holds a thread at a chosen moment: before an execution
    // takes the registers, and once a native call has written them back,
    // just before the native runs. Set before the script runs any code.
    std::function<void()> beforeExecution;
    std::function<void(const std::string& native)> atNativeCall;

    // Places cells in the globals' room for strings, in the block the
    // script's struct points to now, and returns their script address.
    cell store(const std::vector<cell>& cells);
    void release(cell address);
    // The data block's size: the script's stp and its zero cell.
    cell dataBytes() const { return dataBytes_; }

    // Executions started and not yet returned, and pushes made, in all.
    int executions() const { return stack_.live(); }
    int pushes() const { return stack_.pushes(); }

  private:
    friend class Call;
    int execute(AMX& amx, const Public& code, const char* what);
    // The server's callback, set on the script's struct: clears the
    // struct's error field, calls the native by its index in the native
    // table with the same struct, returns the struct's error field.
    static int callback(AMX* amx, cell index, cell* result, cell* params);

    AMX amx_{};
    std::vector<std::pair<std::string, Public>> publics_;
    const size_t frameCells_;
    cell globalsBytes_ = 0;
    cell dataBytes_ = 0;
    std::unique_ptr<ScriptImage> image_;
    // The image's native table, fixed at load: read on every native call
    // without a lock. A function is stored once registered.
    std::vector<std::string> nativeNames_;
    std::unordered_map<std::string, int> nativeIndices_;
    std::unique_ptr<std::atomic<AMX_NATIVE>[]> natives_;
    std::atomic<bool> nativesComplete_{false};
    std::mutex nativesGuard_;
    // The globals' room for strings.
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
