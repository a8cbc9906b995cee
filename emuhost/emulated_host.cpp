#include "emuhost/emulated_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "emuhost/registers.h"

namespace emu {

namespace {

EmulatedHost* g_host = nullptr;

[[noreturn]] void missingExport() {
    std::fprintf(stderr, "emulated host: the plugin called an AMX function the host lacks\n");
    std::abort();
}

const ucell kUnpackedMax = 0x00FFFFFFu;

// Cells read as the x86 machine reads them, wherever a pointer points: the
// real amx_GetAddr checks no alignment.
ucell cellAt(const cell* cells, size_t index) {
    ucell value = 0;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(cells) + index * sizeof(cell),
                sizeof value);
    return value;
}

bool isPacked(const cell* cells) {
    return cellAt(cells, 0) > kUnpackedMax;
}

int amx_Exec(AMX* amx, cell* retval, int index) {
    if (retval != nullptr) {
        *retval = 0;
    }
    return Script::of(amx).exec(*amx, index);
}

int amx_FindNative(AMX* amx, const char* name, int* index) {
    return image::findNative(amx->base, name, index);
}

int amx_FindPubVar(AMX* amx, const char* name, cell* address) {
    return image::findPubVar(amx->base, name, address);
}

int amx_GetNative(AMX* amx, int index, char* name) {
    if (index < 0 || index >= image::numNatives(amx->base)) {
        return AMX_ERR_INDEX;
    }
    std::strcpy(name, image::name(amx->base, image::nativeEntry(amx->base, index)));
    return AMX_ERR_NONE;
}

int amx_NumNatives(AMX* amx, int* number) {
    *number = image::numNatives(amx->base);
    return AMX_ERR_NONE;
}

int amx_FindPublic(AMX* amx, const char* name, int* index) {
    g_host->onExportThread("amx_FindPublic");
    return Script::of(amx).findPublic(name, index);
}

int amx_NameLength(AMX* amx, int* length) {
    *length = Script::of(amx).nameLength();
    return AMX_ERR_NONE;
}

int amx_GetPublic(AMX* amx, int index, char* name) {
    return Script::of(amx).getPublic(index, name);
}

int amx_NumPublics(AMX* amx, int* number) {
    *number = Script::of(amx).numPublics();
    return AMX_ERR_NONE;
}

int amx_GetAddr(AMX* amx, cell address, cell** physical) {
    *physical = addressOf(*amx, address);
    return *physical == nullptr ? AMX_ERR_MEMACCESS : AMX_ERR_NONE;
}

int amx_StrLen(const cell* cells, int* length) {
    int n = 0;
    if (isPacked(cells)) {
        for (;; ++n) {
            auto c = cellAt(cells, static_cast<size_t>(n / 4)) >> (8 * (3 - n % 4)) & 0xFFu;
            if (c == 0) {
                break;
            }
        }
    } else {
        while (cellAt(cells, static_cast<size_t>(n)) != 0) {
            ++n;
        }
    }
    *length = n;
    return AMX_ERR_NONE;
}

int amx_GetString(char* dest, const cell* source, int useWchar, size_t size) {
    if (size == 0) {
        return AMX_ERR_NONE;
    }
    size_t n = 0;
    bool packed = isPacked(source);
    for (; n + 1 < size; ++n) {
        ucell c = packed ? cellAt(source, n / 4) >> (8 * (3 - n % 4)) & 0xFFu : cellAt(source, n);
        if (c == 0) {
            break;
        }
        dest[n] = static_cast<char>(useWchar ? c : c & 0xFFu);
    }
    dest[n] = '\0';
    return AMX_ERR_NONE;
}

int amx_Push(AMX* amx, cell value) {
    return Script::of(amx).push(*amx, value);
}

int amx_RaiseError(AMX* amx, int error) {
    store(*amx, Register::error, error);
    g_host->raised(amx, error);
    return AMX_ERR_NONE;
}

int amx_Register(AMX* amx, const AMX_NATIVE_INFO* list, int number) {
    return Script::of(amx).registerNatives(list, number);
}

// The public named by a native's first argument, as CallRemoteFunction and
// CallLocalFunction read it; false when there is none.
bool publicName(AMX* amx, const cell* params, char (&name)[64]) {
    if (params[0] < static_cast<cell>(sizeof(cell))) {
        return false;
    }
    cell* cells = addressOf(*amx, params[1]);
    if (cells == nullptr || g_host == nullptr) {
        return false;
    }
    amx_GetString(name, cells, 0, sizeof name);
    return true;
}

// Runs the named public of script, without arguments, on the calling thread
// and on the struct given. open.mp finds it with amx_FindPublic, the SA-MP
// server with a lookup of its own.
void callPublic(Script& script, AMX& on, const char* name) {
    int index = 0;
    int found = g_host->findsWithAmxFindPublic() ? g_host->serverFindPublic(script, name, &index)
                                                 : script.findPublic(name, &index);
    if (found == AMX_ERR_NONE) {
        script.exec(on, index);
    }
}

// The server's CallRemoteFunction, without arguments for the public: runs the
// public of that name in every loaded script that has one, in load order, each
// on its own struct.
cell callRemoteFunction(AMX* amx, cell* params) {
    char name[64];
    if (!publicName(amx, params, name)) {
        return 0;
    }
    for (const std::shared_ptr<Script>& script : g_host->scripts()) {
        callPublic(*script, *script->amx(), name);
    }
    return 0;
}

// The server's CallLocalFunction: the same in the calling script only, nested
// on the struct it is handed.
cell callLocalFunction(AMX* amx, cell* params) {
    char name[64];
    if (publicName(amx, params, name)) {
        callPublic(Script::of(amx), *amx, name);
    }
    return 0;
}

cell serverSetTimer(AMX* amx, cell* params) {
    return g_host->setTimer(amx, params);
}

cell serverKillTimer(AMX*, cell* params) {
    return g_host->killTimer(params[1]);
}

void* lookup(const PluginLibrary& library, const char* name) {
    void* symbol = library.symbol(name);
    if (symbol == nullptr) {
        throw std::runtime_error(std::string("plugin does not export ") + name);
    }
    return symbol;
}

}  // namespace

EmulatedHost::EmulatedHost(const std::string& pluginPath) {
    if (g_host != nullptr) {
        throw std::runtime_error("one emulated host at a time");
    }
    library_ = std::make_unique<PluginLibrary>(pluginPath);
    supports_ = lookup(*library_, "Supports");
    load_ = lookup(*library_, "Load");
    unload_ = lookup(*library_, "Unload");
    amxLoad_ = lookup(*library_, "AmxLoad");
    amxUnload_ = lookup(*library_, "AmxUnload");
    processTick_ = lookup(*library_, "ProcessTick");

    for (void*& slot : exports_) {
        slot = reinterpret_cast<void*>(&missingExport);
    }
    exports_[PLUGIN_AMX_EXPORT_Exec] = reinterpret_cast<void*>(&amx_Exec);
    exports_[PLUGIN_AMX_EXPORT_FindNative] = reinterpret_cast<void*>(&amx_FindNative);
    exports_[PLUGIN_AMX_EXPORT_FindPublic] = reinterpret_cast<void*>(&amx_FindPublic);
    exports_[PLUGIN_AMX_EXPORT_FindPubVar] = reinterpret_cast<void*>(&amx_FindPubVar);
    exports_[PLUGIN_AMX_EXPORT_GetAddr] = reinterpret_cast<void*>(&amx_GetAddr);
    exports_[PLUGIN_AMX_EXPORT_GetNative] = reinterpret_cast<void*>(&amx_GetNative);
    exports_[PLUGIN_AMX_EXPORT_GetPublic] = reinterpret_cast<void*>(&amx_GetPublic);
    exports_[PLUGIN_AMX_EXPORT_GetString] = reinterpret_cast<void*>(&amx_GetString);
    exports_[PLUGIN_AMX_EXPORT_NameLength] = reinterpret_cast<void*>(&amx_NameLength);
    exports_[PLUGIN_AMX_EXPORT_NumNatives] = reinterpret_cast<void*>(&amx_NumNatives);
    exports_[PLUGIN_AMX_EXPORT_NumPublics] = reinterpret_cast<void*>(&amx_NumPublics);
    exports_[PLUGIN_AMX_EXPORT_Push] = reinterpret_cast<void*>(&amx_Push);
    exports_[PLUGIN_AMX_EXPORT_RaiseError] = reinterpret_cast<void*>(&amx_RaiseError);
    exports_[PLUGIN_AMX_EXPORT_Register] = reinterpret_cast<void*>(&amx_Register);
    exports_[PLUGIN_AMX_EXPORT_StrLen] = reinterpret_cast<void*>(&amx_StrLen);
    data_[PLUGIN_DATA_LOGPRINTF] = reinterpret_cast<void*>(&EmulatedHost::logprintf);
    data_[PLUGIN_DATA_AMX_EXPORTS] = exports_;
    g_host = this;
}

EmulatedHost::~EmulatedHost() {
    if (loaded_) {
        unload();
    }
    scripts_.clear();
    library_.reset();
    g_host = nullptr;
}

unsigned int EmulatedHost::supports() {
    return enter<unsigned int>("Supports", supports_);
}

bool EmulatedHost::load() {
    return loadReading<bool>();
}

bool EmulatedHost::loadReadingInt() {
    return loadReading<int>();
}

template <typename Result>
bool EmulatedHost::loadReading() {
    exportThread_ = std::this_thread::get_id();
    loaded_ = enter<Result>("Load", load_, static_cast<void**>(data_)) != 0;
    return loaded_;
}

void EmulatedHost::onExportThread(const char* function) {
    if (std::this_thread::get_id() != exportThread_) {
        fault(std::string(function) +
              " called off the server's main thread, where open.mp's is not safe");
    }
}

void EmulatedHost::unload() {
    enter<void>("Unload", unload_);
    loaded_ = false;
    // Copied first: a script reports its faults to this host under its own
    // guard.
    for (const auto& script : scripts()) {
        if (script->executions() != 0) {
            fault("a worker still runs script code after Unload");
        }
    }
}

void EmulatedHost::tick() {
    runDueTimers();
    processTick();
}

cell EmulatedHost::setTimer(AMX* amx, cell* params) {
    cell* name = addressOf(*amx, params[1]);
    char text[64];
    int index = -1;
    if (name == nullptr) {
        return 0;
    }
    amx_GetString(text, name, 0, sizeof text);
    if (image::findPublic(amx->base, text, &index) != AMX_ERR_NONE) {
        return 0;
    }
    int ticks = std::max(1, static_cast<int>(params[2]) / kTimerTickMilliseconds);
    std::lock_guard<std::mutex> lock(timersGuard_);
    timers_.push_back({++lastTimerId_, amx, index, ticks, ticks, params[3] != 0});
    return lastTimerId_;
}

cell EmulatedHost::killTimer(cell id) {
    std::lock_guard<std::mutex> lock(timersGuard_);
    auto timer = std::find_if(timers_.begin(), timers_.end(),
                              [id](const KeptTimer& t) { return t.id == id; });
    if (timer == timers_.end()) {
        return 0;
    }
    timers_.erase(timer);
    return 1;
}

void EmulatedHost::killTimersOf(AMX* amx) {
    std::lock_guard<std::mutex> lock(timersGuard_);
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [amx](const KeptTimer& timer) { return timer.amx == amx; }),
                  timers_.end());
}

void EmulatedHost::runDueTimers() {
    std::vector<KeptTimer> due;
    {
        std::lock_guard<std::mutex> lock(timersGuard_);
        for (auto timer = timers_.begin(); timer != timers_.end();) {
            if (--timer->ticksLeft > 0) {
                ++timer;
                continue;
            }
            due.push_back(*timer);
            if (timer->repeating) {
                timer->ticksLeft = timer->interval;
                ++timer;
            } else {
                timer = timers_.erase(timer);
            }
        }
    }
    for (const KeptTimer& timer : due) {
        runKept(timer.amx, timer.publicIndex, "a timer");
    }
}

bool EmulatedHost::runKept(AMX* amx, int publicIndex, const char* what) {
    std::shared_ptr<Script> owner = scriptOwning(amx);
    if (owner == nullptr) {
        fault(std::string(what) +
              " fired for a machine that no loaded script owns: it was set through a struct "
              "other than the script's own, which the script's unload did not match");
        return false;
    }
    owner->exec(publicIndex);
    return true;
}

std::shared_ptr<Script> EmulatedHost::scriptOwning(const AMX* amx) const {
    std::lock_guard<std::mutex> lock(guard_);
    for (const auto& script : scripts_) {
        if (script->amx() == amx) {
            return script;
        }
    }
    return nullptr;
}

Script& EmulatedHost::loadScript(ScriptDefinition definition, int* registerResult) {
    Script& started = addScript(std::move(definition));
    int result = amxLoad(started);
    if (registerResult != nullptr) {
        *registerResult = result;
    }
    return started;
}

int EmulatedHost::unloadScript(Script& script) {
    killTimersOf(script.amx());
    int result = amxUnload(script);
    removeScript(script);
    return result;
}

Script& EmulatedHost::addScript(ScriptDefinition definition) {
    definition.serverNatives.emplace_back("CallRemoteFunction", &callRemoteFunction);
    definition.serverNatives.emplace_back("CallLocalFunction", &callLocalFunction);
    if (!openMp_) {
        definition.serverNatives.emplace_back("SetTimer", &serverSetTimer);
        definition.serverNatives.emplace_back("KillTimer", &serverKillTimer);
    }
    auto script = std::make_shared<Script>(std::move(definition));
    Script& added = *script;
    added.reportFaultsTo([this](const std::string& what) { scriptFault(what); });
    added.clearErrors(openMp_ ? ErrorClearing::EveryCall : ErrorClearing::FirstCallOfEachSite);
    std::lock_guard<std::mutex> lock(guard_);
    scripts_.push_back(std::move(script));
    return added;
}

int EmulatedHost::amxLoad(Script& script) {
    {
        std::lock_guard<std::mutex> lock(guard_);
        leftAtLoad_[&script] = script.registers();
    }
    return enter<int>("AmxLoad", amxLoad_, script.amx());
}

int EmulatedHost::amxUnload(Script& script) {
    // The globals as the script leaves them, wherever the plugin keeps them
    // now: when it moved them, it must copy them back.
    AMX& amx = *script.amx();
    const unsigned char* globals = dataOf(amx);
    std::vector<unsigned char> moved;
    if (globals != script.hostBlock()) {
        moved.assign(globals, globals + script.globalsBytes());
    }
    int result = enter<int>("AmxUnload", amxUnload_, script.amx());
    if (script.executions() != 0) {
        fault("a worker still runs script code after AmxUnload");
    }
    RestingRegisters left{};
    {
        std::lock_guard<std::mutex> lock(guard_);
        auto found = leftAtLoad_.find(&script);
        if (found == leftAtLoad_.end()) {
            return result;
        }
        left = found->second;
        leftAtLoad_.erase(found);
    }
    RestingRegisters now = script.registers();
    // Executions of a shared machine that do not nest leave stk and hea
    // wherever the last one to return had them, on the real machine too:
    // only a plugin that moved the block owes them back.
    if (moved.empty()) {
        now.hea = left.hea;
        now.stk = left.stk;
    }
    if (!(now == left)) {
        auto describe = [](const RestingRegisters& r) {
            char text[128];
            std::snprintf(text, sizeof text, "data %p hlw %d hea %d stk %d stp %d",
                          static_cast<void*>(r.data), static_cast<int>(r.hlw),
                          static_cast<int>(r.hea), static_cast<int>(r.stk),
                          static_cast<int>(r.stp));
            return std::string(text);
        };
        fault("AmxUnload returned with the script's struct at " + describe(now) +
              ", not as the host left it at AmxLoad: " + describe(left));
    } else if (!moved.empty() && std::memcmp(moved.data(), dataOf(amx), moved.size()) != 0) {
        fault(
            "AmxUnload returned without the script's globals copied back into the host's "
            "block");
    }
    return result;
}

void EmulatedHost::removeScript(Script& script) {
    killTimersOf(script.amx());
    std::lock_guard<std::mutex> lock(guard_);
    leftAtLoad_.erase(&script);
    for (auto it = scripts_.begin(); it != scripts_.end(); ++it) {
        if (it->get() == &script) {
            scripts_.erase(it);
            break;
        }
    }
}

void EmulatedHost::serverLog(const std::string& line) {
    std::lock_guard<std::mutex> lock(guard_);
    log_.push_back(line);
    if (echo_) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

std::vector<std::string> EmulatedHost::log() const {
    std::lock_guard<std::mutex> lock(guard_);
    return log_;
}

std::vector<std::shared_ptr<Script>> EmulatedHost::scripts() const {
    std::lock_guard<std::mutex> lock(guard_);
    return scripts_;
}

std::vector<std::string> EmulatedHost::faults() const {
    std::lock_guard<std::mutex> lock(guard_);
    return faults_;
}

std::vector<std::string> EmulatedHost::scriptFaults() const {
    std::lock_guard<std::mutex> lock(guard_);
    return scriptFaults_;
}

void EmulatedHost::scriptFault(const std::string& what) {
    std::lock_guard<std::mutex> lock(guard_);
    // A script that breaks the machine's rules on purpose breaks them often.
    if (scriptFaults_.size() < 100) {
        scriptFaults_.push_back(what);
    }
}

int EmulatedHost::serverFindPublic(Script& script, const char* name, int* index) {
    if (std::this_thread::get_id() != exportThread_) {
        scriptFault(std::string("a worker ran the server's call of public ") + name +
                    ", whose look-up open.mp makes safe on its main thread only");
    }
    return script.findPublic(name, index);
}

void EmulatedHost::actAsOpenMp() {
    openMp_ = true;
    std::lock_guard<std::mutex> lock(guard_);
    for (const auto& script : scripts_) {
        script->clearErrors(ErrorClearing::EveryCall);
    }
}

void EmulatedHost::raised(AMX* amx, int error) {
    if (afterRaiseError) {
        afterRaiseError(amx, error);
    }
}

void EmulatedHost::stackMoved(const char* entryPoint) {
    fault(std::string(entryPoint) +
          " returned with the stack pointer moved: it does not use the server's calling "
          "convention");
}

void EmulatedHost::fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(guard_);
    faults_.push_back(what);
}

void EmulatedHost::logprintf(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (g_host != nullptr) {
        // The server's log is its own, written by its main thread.
        g_host->onExportThread("logprintf");
        g_host->serverLog(line);
    }
}

}  // namespace emu
