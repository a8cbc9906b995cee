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

Call::Call(Script& script, const cell* args, size_t count) : script_(script), argCount_(count) {
    if (count > kMaxArgs) {
        throw std::length_error("emulated host: too many arguments");
    }
    std::copy(args, args + count, args_);
}

cell Call::arg(size_t index) const {
    if (index >= argCount_) {
        throw std::out_of_range("emulated host: no such argument");
    }
    return args_[index];
}

cell Call::native(const std::string& name, std::initializer_list<Arg> args) {
    AMX_NATIVE fn = script_.resolve(name);
    if (fn == nullptr) {
        std::fprintf(stderr, "emulated host: script calls unregistered native %s\n", name.c_str());
        std::abort();
    }
    std::vector<cell> params{static_cast<cell>(args.size() * sizeof(cell))};
    std::vector<cell> strings;
    for (const Arg& arg : args) {
        if (arg.kind_ == Arg::Kind::Cell) {
            params.push_back(arg.value_);
            continue;
        }
        cell address = script_.store(arg.kind_ == Arg::Kind::Packed ? packString(arg.text_)
                                                                    : unpackedString(arg.text_));
        strings.push_back(address);
        params.push_back(address);
    }
    cell result = fn(script_.amx(), params.data());
    for (cell address : strings) {
        script_.release(address);
    }
    return finish(result);
}

cell Call::invoke(AMX_NATIVE native, std::initializer_list<cell> args) {
    if (args.size() > kMaxArgs) {
        throw std::length_error("emulated host: too many arguments");
    }
    cell params[kMaxArgs + 1] = {static_cast<cell>(args.size() * sizeof(cell))};
    size_t i = 1;
    for (cell value : args) {
        params[i++] = value;
    }
    return finish(native(script_.amx(), params));
}

cell Call::finish(cell result) {
    // Executions on other threads share the field; the real machine reads it
    // as a plain int, which is what an atomic load of it compiles to.
    int error = __atomic_load_n(&script_.amx()->error, __ATOMIC_RELAXED);
    if (error != AMX_ERR_NONE) {
        throw Abandoned{error};
    }
    return result;
}

Script::Script(ScriptDefinition definition)
    : data_(definition.dataCells, 0),
      publics_(std::move(definition.publics)),
      required_(definition.natives),
      nativesComplete_(required_.empty()),
      natives_(definition.serverNatives.begin(), definition.serverNatives.end()) {
    for (const auto& entry : publics_) {
        if (entry.first.empty() || entry.first.size() > static_cast<size_t>(kMaxPublicName)) {
            throw std::invalid_argument("emulated host: no compiler makes a public named '" +
                                        entry.first + "'");
        }
    }
    std::sort(publics_.begin(), publics_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    machine_.owner = this;
    machine_.amx.base = reinterpret_cast<unsigned char*>(data_.data());
    machine_.amx.data = reinterpret_cast<unsigned char*>(data_.data());
    machine_.amx.hea = 0;
    machine_.amx.stp = dataBytes();
    // The last cell stays zero so that no string read runs off the data.
    freeBlocks_[0] = static_cast<cell>(data_.size() - 1);
}

Script& Script::of(AMX* amx) {
    return *reinterpret_cast<Machine*>(amx)->owner;
}

int Script::run(const Public& code) {
    return execute(code, nullptr, 0);
}

int Script::exec(int index, const cell* args, size_t count) {
    if (index < 0 || static_cast<size_t>(index) >= publics_.size()) {
        return AMX_ERR_INDEX;
    }
    return execute(publics_[index].second, args, count);
}

int Script::execute(const Public& code, const cell* args, size_t count) {
    if (!nativesComplete_) {
        return AMX_ERR_NOTFOUND;
    }
    executions_.fetch_add(1);
    Call call(*this, args, count);
    int error = AMX_ERR_NONE;
    try {
        code(call);
    } catch (const Abandoned& abandoned) {
        error = abandoned.error;
    } catch (...) {
        error = kErrGeneral;
    }
    executions_.fetch_sub(1);
    return error;
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
