#include "emuhost/script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "emuhost/registers.h"

namespace emu {

namespace {

// Thrown by a native call whose native raised an error, caught where the
// execution began: nothing after the call runs, as in the real machine.
struct Abandoned {
    int error;
};

const int kErrGeneral = 27;
const int kFlagNativesRegistered = 0x1000;

// The call site whose native the callback is about to call, for the SA-MP
// callback to rewrite.
thread_local const CallSite* callingSite = nullptr;

std::vector<std::string> importedNatives(const ScriptDefinition& definition) {
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    };
    std::for_each(definition.natives.begin(), definition.natives.end(), add);
    for (const auto& native : definition.serverNatives) {
        add(native.first);
    }
    return names;
}

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

void Call::useStack(size_t cells) {
    script_.stack_.useStack(execution_, cells);
}

// params holds the arguments from its second cell on; when executions keep
// apart it becomes the native's argument cells, the count in its first.
inline cell Call::call(AMX_NATIVE native, int index, cell* params, size_t count, const char* name,
                       CallSite site) {
    MachineStack& stack = script_.stack_;
    AMX& amx = *execution_.amx;
    if (stack.apart()) {
        params[0] = static_cast<cell>(count * sizeof(cell));
    } else {
        params = stack.callNative(execution_, params + 1, count);
    }
    if (script_.atNativeCall) {
        script_.atNativeCall(name);
    }
    cell result = 0;
    int error = AMX_ERR_NONE;
    if (script_.clearing_ == ErrorClearing::FirstCallOfEachSite &&
        script_.rewrittenSites_.rewritten(site)) {
        if (native == nullptr) {
            native = script_.natives_[index].load(std::memory_order_acquire);
        }
        result = native(&amx, params);
    } else {
        // Only a callback that may rewrite the site needs to know it.
        bool mayRewrite =
            script_.clearing_ == ErrorClearing::FirstCallOfEachSite && amx.sysreq_d != 0;
        if (mayRewrite) {
            callingSite = &site;
        }
        // Taken afresh: another plugin may have replaced it.
        error = amx.callback(&amx, index, &result, params);
        if (mayRewrite) {
            callingSite = nullptr;
        }
    }
    if (!stack.apart()) {
        stack.returnFromNative(execution_, count);
    }
    // Executions on other threads may share the field; the real machine
    // reads it as a plain int.
    if (error == AMX_ERR_NONE) {
        error = load(amx, Register::error);
    }
    if (error != AMX_ERR_NONE) {
        throw Abandoned{error};
    }
    return result;
}

cell Call::native(const std::string& name, std::initializer_list<Arg> args, const char* file,
                  int line) {
    int index = script_.nativeIndex(name);
    if (index < 0) {
        std::fprintf(stderr, "emulated host: script calls %s, which it does not import\n",
                     name.c_str());
        std::abort();
    }
    if (args.size() > kMaxArgs) {
        throw std::length_error("emulated host: too many arguments");
    }
    // Code on the script's own struct passes strings from the globals, which
    // every execution sharing the struct can keep at once; code on another
    // struct puts them on its own heap, where only that struct reaches them.
    MachineStack& stack = script_.stack_;
    bool onHeap = !stack.apart() && execution_.amx != &script_.amx_;
    cell params[kMaxArgs + 1];
    size_t count = 0;
    struct Release {
        Script& script;
        MachineStack::Execution& execution;
        cell stored[kMaxArgs];
        size_t storedCount = 0;
        size_t heapCells = 0;
        ~Release() {
            for (size_t i = 0; i < storedCount; ++i) {
                script.release(stored[i]);
            }
            if (heapCells != 0) {
                script.stack_.free(execution, heapCells);
            }
        }
    } release{script_, execution_, {}};
    for (const Arg& arg : args) {
        if (arg.kind_ == Arg::Kind::Cell) {
            params[++count] = arg.value_;
            continue;
        }
        std::vector<cell> cells =
            arg.kind_ == Arg::Kind::Packed ? packString(arg.text_) : unpackedString(arg.text_);
        cell address = 0;
        if (onHeap) {
            address = stack.allot(execution_, cells.data(), cells.size());
            if (address < 0) {
                throw Abandoned{MachineStack::kStackError};
            }
            release.heapCells += cells.size();
        } else {
            address = script_.store(cells);
            release.stored[release.storedCount++] = address;
        }
        params[++count] = address;
    }
    return call(nullptr, index, params, count, name.c_str(), {file, line});
}

cell Call::invoke(const ImportedNative& native, std::initializer_list<cell> args, const char* file,
                  int line) {
    if (args.size() > kMaxArgs) {
        throw std::length_error("emulated host: too many arguments");
    }
    cell params[kMaxArgs + 1];
    std::copy(args.begin(), args.end(), params + 1);
    return call(native.function, native.index, params, args.size(), "a native", {file, line});
}

Script::Script(ScriptDefinition definition)
    : publics_(std::move(definition.publics)),
      frameCells_(definition.frameCells),
      nativeNames_(importedNatives(definition)) {
    for (const auto& entry : publics_) {
        if (entry.first.empty()) {
            throw std::invalid_argument("emulated host: a public needs a name");
        }
    }
    std::sort(publics_.begin(), publics_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::sort(definition.publicVariables.begin(), definition.publicVariables.end());
    size_t globalsCells = definition.dataCells / 2;
    if (definition.publicVariables.size() >= globalsCells || definition.dataCells < 16) {
        throw std::invalid_argument("emulated host: too little data for the script");
    }
    globalsBytes_ = static_cast<cell>(globalsCells * sizeof(cell));
    dataBytes_ = static_cast<cell>(definition.dataCells * sizeof(cell));

    ImageContents contents{{},         definition.publicVariables, nativeNames_, globalsBytes_,
                           dataBytes_, definition.dataInImage};
    for (const auto& entry : publics_) {
        contents.publics.push_back(entry.first);
    }
    image_ = std::make_unique<ScriptImage>(this, contents);

    natives_.reset(new std::atomic<AMX_NATIVE>[nativeNames_.size()]);
    for (size_t i = 0; i < nativeNames_.size(); ++i) {
        nativeIndices_.emplace(nativeNames_[i], static_cast<int>(i));
        natives_[i].store(nullptr, std::memory_order_relaxed);
    }
    for (const auto& native : definition.serverNatives) {
        natives_[nativeIndices_.at(native.first)].store(native.second, std::memory_order_relaxed);
    }
    nativesComplete_ = std::all_of(natives_.get(), natives_.get() + nativeNames_.size(),
                                   [](const std::atomic<AMX_NATIVE>& native) {
                                       return native.load(std::memory_order_relaxed) != nullptr;
                                   });
    if (nativesComplete_) {
        amx_.flags |= kFlagNativesRegistered;
    }

    // As amx_Init leaves a machine: the heap at the globals' end, the stack
    // at the block's last cell, which is zero.
    amx_.base = image_->base();
    amx_.data = image_->dataInImage() ? nullptr : image_->block();
    amx_.callback = &Script::callback;
    amx_.cip = headerOf(amx_.base).cip;
    amx_.hlw = globalsBytes_;
    amx_.hea = globalsBytes_;
    amx_.stp = dataBytes_ - static_cast<cell>(sizeof(cell));
    amx_.stk = amx_.stp;
    auto firstFree = static_cast<cell>(definition.publicVariables.size());
    freeBlocks_[firstFree] = static_cast<cell>(globalsCells) - firstFree;
    if (definition.stacksApart) {
        stack_.keepApart();
    }
    if (definition.craftImage) {
        definition.craftImage(amx_.base);
    }
}

void Script::clearErrors(ErrorClearing clearing) {
    clearing_ = clearing;
    amx_.sysreq_d = clearing == ErrorClearing::FirstCallOfEachSite ? 1 : 0;
}

RestingRegisters Script::registers() const {
    return {amx_.data, load(amx_, Register::hlw), load(amx_, Register::hea),
            load(amx_, Register::stk), load(amx_, Register::stp)};
}

int Script::run(AMX& amx, const Public& code) {
    return execute(amx, code, "main-thread code");
}

int Script::exec(AMX& amx, int index) {
    if (index < 0 || index >= image::numPublics(amx.base)) {
        return AMX_ERR_INDEX;
    }
    auto code = static_cast<size_t>(image::publicEntry(amx.base, index).address) / sizeof(cell);
    if (code >= publics_.size()) {
        return AMX_ERR_INDEX;
    }
    return execute(amx, publics_[code].second, publics_[code].first.c_str());
}

int Script::execute(AMX& amx, const Public& code, const char* what) {
    if (!nativesComplete_) {
        return AMX_ERR_NOTFOUND;
    }
    if (beforeExecution) {
        beforeExecution();
    }
    MachineStack::Execution execution;
    if (!stack_.enter(execution, amx, what, frameCells_)) {
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

int Script::callback(AMX* amx, cell index, cell* result, cell* params) {
    emu::store(*amx, Register::error, AMX_ERR_NONE);
    Script& script = of(amx);
    if (index < 0 || static_cast<size_t>(index) >= script.nativeNames_.size()) {
        return AMX_ERR_NOTFOUND;
    }
    AMX_NATIVE native = script.natives_[index].load(std::memory_order_acquire);
    if (native == nullptr) {
        return AMX_ERR_NOTFOUND;
    }
    if (script.clearing_ == ErrorClearing::FirstCallOfEachSite && amx->sysreq_d != 0 &&
        callingSite != nullptr) {
        script.rewrittenSites_.rewrite(*callingSite);
    }
    callingSite = nullptr;
    *result = native(amx, params);
    return load(*amx, Register::error);
}

uint64_t RewrittenSites::keyOf(CallSite site) {
    // Lines of a test file fit 16 bits, and a user-space address the rest.
    return (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(site.file)) << 16) |
           (static_cast<uint64_t>(site.line) & 0xFFFF);
}

bool RewrittenSites::find(CallSite site) const {
    uint64_t key = keyOf(site);
    size_t slot = static_cast<size_t>(key * 0x9E3779B97F4A7C15ull >> 52) % kSlots;
    for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
        uint64_t held = slots_[slot].load(std::memory_order_acquire);
        if (held == key) {
            return true;
        }
        if (held == 0) {
            return false;
        }
    }
    return true;
}

void RewrittenSites::rewrite(CallSite site) {
    uint64_t key = keyOf(site);
    size_t slot = static_cast<size_t>(key * 0x9E3779B97F4A7C15ull >> 52) % kSlots;
    for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
        uint64_t held = slots_[slot].load(std::memory_order_acquire);
        if (held == 0 && slots_[slot].compare_exchange_strong(held, key)) {
            any_.store(true, std::memory_order_release);
            return;
        }
        // A failed exchange leaves the slot's holder in held.
        if (held == key) {
            return;
        }
    }
}

int Script::getPublic(int index, char* name) const {
    if (index < 0 || index >= numPublics()) {
        return AMX_ERR_INDEX;
    }
    std::strcpy(name, image::name(amx_.base, image::publicEntry(amx_.base, index)));
    return AMX_ERR_NONE;
}

int Script::registerNatives(const AMX_NATIVE_INFO* list, int number) {
    std::lock_guard<std::mutex> lock(nativesGuard_);
    for (int i = 0; (number < 0 || i < number) && list[i].name != nullptr; ++i) {
        auto found = nativeIndices_.find(list[i].name);
        if (found != nativeIndices_.end()) {
            natives_[found->second].store(list[i].func, std::memory_order_release);
        }
    }
    for (size_t i = 0; i < nativeNames_.size(); ++i) {
        if (natives_[i].load(std::memory_order_relaxed) == nullptr) {
            return AMX_ERR_NOTFOUND;
        }
    }
    amx_.flags |= kFlagNativesRegistered;
    nativesComplete_ = true;
    return AMX_ERR_NONE;
}

int Script::nativeIndex(const std::string& name) const {
    auto found = nativeIndices_.find(name);
    return found == nativeIndices_.end() ? -1 : found->second;
}

AMX_NATIVE Script::resolve(const std::string& name) const {
    int index = nativeIndex(name);
    return index < 0 ? nullptr : natives_[index].load(std::memory_order_acquire);
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
        cell address = first * static_cast<cell>(sizeof(cell));
        std::memcpy(dataOf(amx_) + address, cells.data(), cells.size() * sizeof(cell));
        return address;
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

}  // namespace emu
