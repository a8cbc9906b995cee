// A stand-in for one of the server's script machines. Publics are C++
// callables; their native calls reach the plugin exactly as compiled Pawn
// code would: argument cells, strings as addresses into the machine's own
// data, and the machine's error field checked after every native.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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

// The script code of one execution: what a public or the main script sees.
class Call {
  public:
    // Arguments are kept inline: the plugin executes publics in tight loops,
    // and the host's own costs must not hide the plugin's.
    static const size_t kMaxArgs = 16;

    Call(Script& script, const cell* args, size_t count);

    // Calls a registered native; when it raised an error the machine abandons
    // this code, so the call does not return.
    cell native(const std::string& name, std::initializer_list<Arg> args = {});
    // The same with a native resolved beforehand and plain cell arguments.
    cell invoke(AMX_NATIVE native, std::initializer_list<cell> args);

    // The arguments pushed before the execution, first argument first.
    cell arg(size_t index) const;
    Script& script() { return script_; }

  private:
    cell finish(cell result);

    Script& script_;
    cell args_[kMaxArgs];
    size_t argCount_;
};

using Public = std::function<void(Call&)>;

struct ScriptDefinition {
    std::vector<std::pair<std::string, Public>> publics = {};
    // Natives the script calls; registration fails while one is missing.
    std::vector<std::string> natives = {};
    size_t dataCells = 1 << 16;
    // Natives the server itself provides to the script, as it does its own
    // and other plugins'.
    std::vector<std::pair<std::string, AMX_NATIVE>> serverNatives = {};
};

class Script {
  public:
    explicit Script(ScriptDefinition definition);
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    AMX* amx() { return &machine_.amx; }
    static Script& of(AMX* amx);

    // Runs code as the server's main thread runs a script's code; returns the
    // machine's error code, 0 when the code ran to its end. As in the real
    // machine, no code runs while a native it calls is unregistered: the
    // server reports error 19.
    int run(const Public& code);
    int exec(int index, const cell* args, size_t count);
    // Publics are indexed in name order, as compilers write the table.
    int findPublic(const char* name, int* index) const;
    int numPublics() const { return static_cast<int>(publics_.size()); }
    // Copies the name with its terminator, as the real machine does.
    int getPublic(int index, char* name) const;
    int registerNatives(const AMX_NATIVE_INFO* list, int number);
    AMX_NATIVE resolve(const std::string& name) const;

    // Places cells in the machine's data and returns their script address.
    cell store(const std::vector<cell>& cells);
    void release(cell address);
    cell dataBytes() const { return static_cast<cell>(data_.size() * sizeof(cell)); }
    cell* cellsAt(cell address);

    int executions() const { return executions_.load(); }

  private:
    int execute(const Public& code, const cell* args, size_t count);
    // The machine handle leads a standard-layout block, so the host finds its
    // script from the AMX pointer that natives and exports receive.
    struct Machine {
        AMX amx;
        Script* owner;
    };

    Machine machine_{};
    std::vector<cell> data_;
    std::vector<std::pair<std::string, Public>> publics_;
    std::vector<std::string> required_;
    std::atomic<bool> nativesComplete_;
    mutable std::mutex nativesGuard_;
    std::map<std::string, AMX_NATIVE> natives_;
    std::mutex heapGuard_;
    std::map<cell, cell> freeBlocks_;  // first cell -> cell count
    std::map<cell, cell> usedBlocks_;
    std::atomic<int> executions_{0};
};

// Packs text as Pawn packs a string: four characters a cell, first in the
// highest byte.
std::vector<cell> packString(const std::string& text);
std::vector<cell> unpackedString(const std::string& text);

}  // namespace emu
