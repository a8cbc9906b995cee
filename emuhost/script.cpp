#include "emuhost/script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace emu {

namespace {

// Thrown by a native call whose native raised an error, caught where the
// execution began: nothing after the call runs, as in the real machine.
struct Abandoned {
    int error;
};

const int kErrGeneral = 27;

}  // namespace

std::vector<cell> packString(const std::string& text) {
    std::vector<cell> cells(text.size() / 4 + 1, 0);
    for (size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<ucell>(static_cast<unsigned char>(text[i]));
        cells[i / 4] |= static_cast<cell>(byte << (8 * (3 - i % 4)));
    }
    return cells;
}

std::vector<cell> unpackedString(const std::string& text) {
    std::vector<cell> cells;
    cells.reserve(text.size() + 1);
    for (char c : text) {
        cells.push_back(static_cast<unsigned char>(c));
    }
    cells.push_back(0);
    return cells;
}

Call::Call(Script& script, MachineStack::Execution& execution)
    : script_(script), execution_(execution) {}

cell Call::arg(size_t index) const {
    if (index >= execution_.argCount) {
        throw std::out_of_range("emulated host: no such argument");
    }
    return execution_.args[index];
}

// params holds the arguments from its second cell on; when executions keep
// apart it becomes the native's argument cells, the count in its first.
inline cell Call::call(AMX_NATIVE native, cell* params, size_t count, const char* name,
                       CallSite site) {
    MachineStack& stack = script_.stack_;
    if (stack.apart()) {
        params[0] = static_cast<cell>(count * sizeof(cell));
    } else {
        params = stack.callNative(execution_, params + 1, count);
    }
    script_.beforeNative(site);
    if (script_.atNativeCall) {
        script_.atNativeCall(name);
    }
    cell result = native(script_.amx(), params);
    if (!stack.apart()) {
        stack.returnFromNative(execution_, count);
    }
    // Executions on other threads share the field; the real machine reads it
    // as a plain int, which is what an atomic load of it compiles to.
    int error = __atomic_load_n(&script_.amx()->error, __ATOMIC_RELAXED);
    if (error != AMX_ERR_NONE) {
        throw Abandoned{error};
    }
    return result;
}

cell Call::native(const std::string& name, std::initializer_list<Arg> args, const char* file,
                  int line) {
    AMX_NATIVE fn = script_.resolve(name);
    if (fn == nullptr) {
        std::fprintf(stderr, "emulated host: script calls unregistered native %s\n", name.c_str());
        std::abort();
    }
    if (args.size() > kMaxArgs) {
        throw std::length_error("emulated host: too many arguments");
    }
    cell params[kMaxArgs + 1];
    size_t count = 0;
    cell strings[kMaxArgs];
    size_t stored = 0;
    for (const Arg& arg : args) {
        if (arg.kind_ == Arg::Kind::Cell) {
            params[++count] = arg.value_;
            continue;
        }
        cell address = script_.store(arg.kind_ == Arg::Kind::Packed ? packString(arg.text_)
                                                                    : unpackedString(arg.text_));
        strings[stored++] = address;
        params[++count] = address;
    }
    struct Release {
        Script& script;
        const cell* strings;
        const size_t& stored;
        ~Release() {
            for (size_t i = 0; i < stored; ++i) {
                script.release(strings[i]);
            }
        }
    } release{script_, strings, stored};
    return call(fn, params, count, name.c_str(), {file, line});
}

cell Call::invoke(AMX_NATIVE native, std::initializer_list<cell> args, const char* file, int line) {
    if (args.size() > kMaxArgs) {
        throw std::length_error("emulated host: too many arguments");
    }
    cell params[kMaxArgs + 1];
    std::copy(args.begin(), args.end(), params + 1);
    return call(native, params, args.size(), "a native", {file, line});
}

// The heap of strings takes the lower half of the data and the stack the
// upper half; the last cell stays zero so that no string read runs off the
// data.
Script::Script(ScriptDefinition definition)
    : data_(definition.dataCells, 0),
      publics_(std::move(definition.publics)),
      frameCells_(definition.frameCells),
      required_(definition.natives),
      nativesComplete_(required_.empty()),
      natives_(definition.serverNatives.begin(), definition.serverNatives.end()),
      stack_(machine_.amx, data_.data(), data_.size() / 2, data_.size() - 1) {
    for (const auto& entry : publics_) {
        if (entry.first.empty()) {
            throw std::invalid_argument("emulated host: a public needs a name");
        }
        nameLength_ = std::max(nameLength_, static_cast<int>(entry.first.size()));
    }
    std::sort(publics_.begin(), publics_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (definition.stacksApart) {
        stack_.keepApart();
    }
    machine_.owner = this;
    machine_.amx.base = reinterpret_cast<unsigned char*>(data_.data());
    machine_.amx.data = reinterpret_cast<unsigned char*>(data_.data());
    freeBlocks_[0] = static_cast<cell>(data_.size() / 2);
}

Script& Script::of(AMX* amx) {
    return *reinterpret_cast<Machine*>(amx)->owner;
}

int Script::run(const Public& code) {
    return execute(code, "main-thread code");
}

int Script::exec(int index) {
    if (index < 0 || static_cast<size_t>(index) >= publics_.size()) {
        return AMX_ERR_INDEX;
    }
    return execute(publics_[index].second, publics_[index].first.c_str());
}

int Script::execute(const Public& code, const char* what) {
    if (!nativesComplete_) {
        return AMX_ERR_NOTFOUND;
    }
    if (beforeExecution) {
        beforeExecution();
    }
    MachineStack::Execution execution;
    if (!stack_.enter(execution, what, frameCells_)) {
        return MachineStack::kStackError;
    }
    Call call(*this, execution);
    int error = AMX_ERR_NONE;
    try {
        code(call);
    } catch (const Abandoned& abandoned) {
        error = abandoned.error;
    } catch (...) {
        error = kErrGeneral;
    }
    stack_.leave(execution);
    return error;
}

void Script::beforeNative(CallSite site) {
    if (clearing_ == ErrorClearing::FirstCallOfEachSite && !rewrittenSites_.firstCall(site)) {
        return;
    }
    __atomic_store_n(&machine_.amx.error, AMX_ERR_NONE, __ATOMIC_RELAXED);
}

bool RewrittenSites::firstCall(CallSite site) {
    // Lines of a test file fit 16 bits, and a user-space address the rest.
    uint64_t key = (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(site.file)) << 16) |
                   (static_cast<uint64_t>(site.line) & 0xFFFF);
    size_t slot = static_cast<size_t>(key * 0x9E3779B97F4A7C15ull >> 52) % kSlots;
    for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
        uint64_t held = slots_[slot].load(std::memory_order_acquire);
        if (held == 0 && slots_[slot].compare_exchange_strong(held, key)) {
            return true;
        }
        if (held == key) {
            return false;
        }
    }
    return false;
}

int Script::findPublic(const char* name, int* index) const {
    for (size_t i = 0; i < publics_.size(); ++i) {
        if (publics_[i].first == name) {
            *index = static_cast<int>(i);
            return AMX_ERR_NONE;
        }
    }
    return AMX_ERR_NOTFOUND;
}

int Script::getPublic(int index, char* name) const {
    if (index < 0 || index >= numPublics()) {
        return AMX_ERR_INDEX;
    }
    std::strcpy(name, publics_[index].first.c_str());
    return AMX_ERR_NONE;
}

int Script::registerNatives(const AMX_NATIVE_INFO* list, int number) {
    std::lock_guard<std::mutex> lock(nativesGuard_);
    for (int i = 0; (number < 0 || i < number) && list[i].name != nullptr; ++i) {
        natives_[list[i].name] = list[i].func;
    }
    for (const std::string& name : required_) {
        if (natives_.count(name) == 0) {
            return AMX_ERR_NOTFOUND;
        }
    }
    nativesComplete_ = true;
    return AMX_ERR_NONE;
}

AMX_NATIVE Script::resolve(const std::string& name) const {
    std::lock_guard<std::mutex> lock(nativesGuard_);
    auto it = natives_.find(name);
    return it == natives_.end() ? nullptr : it->second;
}

cell Script::store(const std::vector<cell>& cells) {
    std::lock_guard<std::mutex> lock(heapGuard_);
    auto need = static_cast<cell>(cells.size());
    for (auto it = freeBlocks_.begin(); it != freeBlocks_.end(); ++it) {
        if (it->second < need) {
            continue;
        }
        cell first = it->first;
        cell left = it->second - need;
        freeBlocks_.erase(it);
        if (left > 0) {
            freeBlocks_[first + need] = left;
        }
        usedBlocks_[first] = need;
        std::copy(cells.begin(), cells.end(), data_.begin() + first);
        return first * static_cast<cell>(sizeof(cell));
    }
    throw std::runtime_error("emulated host: script data is full");
}

void Script::release(cell address) {
    std::lock_guard<std::mutex> lock(heapGuard_);
    cell first = address / static_cast<cell>(sizeof(cell));
    auto used = usedBlocks_.find(first);
    if (used == usedBlocks_.end()) {
        return;
    }
    cell size = used->second;
    usedBlocks_.erase(used);
    auto next = freeBlocks_.find(first + size);
    if (next != freeBlocks_.end()) {
        size += next->second;
        freeBlocks_.erase(next);
    }
    auto block = freeBlocks_.emplace(first, size).first;
    if (block != freeBlocks_.begin()) {
        auto before = std::prev(block);
        if (before->first + before->second == first) {
            before->second += block->second;
            freeBlocks_.erase(block);
        }
    }
}

cell* Script::cellsAt(cell address) {
    if (address < 0 || address % static_cast<cell>(sizeof(cell)) != 0 || address >= dataBytes()) {
        return nullptr;
    }
    return data_.data() + address / static_cast<cell>(sizeof(cell));
}

}  // namespace emu
