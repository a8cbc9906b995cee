#include "emuhost/openmp_server.h"

#include <algorithm>
#include <stdexcept>

namespace emu {

namespace {

OpenMpServer* g_server = nullptr;

const int kTickMilliseconds = EmulatedHost::kTimerTickMilliseconds;

}  // namespace

const std::vector<std::string> OpenMpServer::kNatives = {"SetTimer", "KillTimer", "HTTP"};

const AMX_NATIVE_INFO OpenMpServer::kNativeTable[] = {
    {"SetTimer", &OpenMpServer::setTimer},
    {"KillTimer", &OpenMpServer::killTimer},
    {"HTTP", &OpenMpServer::http},
    {nullptr, nullptr},
};

OpenMpServer::OpenMpServer(EmulatedHost& host) : host_(host) {
    if (g_server != nullptr) {
        throw std::runtime_error("one emulated open.mp server at a time");
    }
    g_server = this;
    host_.actAsOpenMp();
}

OpenMpServer::~OpenMpServer() {
    g_server = nullptr;
}

bool OpenMpServer::start() {
    unsigned int supports = host_.supports();
    loaded_ = host_.loadReadingInt();
    if (!loaded_) {
        host_.serverLog("Plugin failed to initialize.");
    }
    amxCalls_ = loaded_ && (supports & SUPPORTS_AMX_NATIVES) != 0;
    processTick_ = loaded_ && (supports & SUPPORTS_VERSION_MASK) == SUPPORTS_VERSION &&
                   (supports & SUPPORTS_PROCESS_TICK) != 0;
    return loaded_;
}

Script& OpenMpServer::loadScript(ScriptDefinition definition) {
    // In the script's native table: it may call them.
    for (const AMX_NATIVE_INFO* native = kNativeTable; native->name != nullptr; ++native) {
        definition.serverNatives.emplace_back(native->name, native->func);
    }
    Script& script = host_.addScript(std::move(definition));
    // The script's own natives are checked once the plugin has registered its.
    script.registerNatives(kNativeTable, -1);
    if (amxCalls_) {
        host_.amxLoad(script);
    }
    scripts_.push_back(&script);
    runCallback(script, kInitCallback);
    return script;
}

void OpenMpServer::unloadScript(Script& script) {
    runCallback(script, kExitCallback);
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [&](const KeptTimer& timer) { return timer.amx == script.amx(); }),
                  timers_.end());
    if (amxCalls_) {
        host_.amxUnload(script);
    }
    scripts_.erase(std::find(scripts_.begin(), scripts_.end(), &script));
    host_.removeScript(script);
}

void OpenMpServer::tick() {
    // A timer's public may set or kill timers: run those due, by id.
    std::vector<cell> due;
    for (KeptTimer& timer : timers_) {
        if (--timer.ticksLeft == 0) {
            due.push_back(timer.id);
        }
    }
    for (cell id : due) {
        auto timer = std::find_if(timers_.begin(), timers_.end(),
                                  [id](const KeptTimer& t) { return t.id == id; });
        if (timer == timers_.end()) {
            continue;
        }
        AMX* amx = timer->amx;
        int publicIndex = timer->publicIndex;
        if (timer->repeating) {
            timer->ticksLeft = timer->interval;
        } else {
            timers_.erase(timer);
        }
        runTimer(amx, publicIndex);
    }
    if (processTick_) {
        host_.tick();
        ++processTicks_;
    }
}

void OpenMpServer::shutdown() {
    while (!scripts_.empty()) {
        unloadScript(*scripts_.back());
    }
    if (loaded_) {
        host_.unload();
        loaded_ = false;
    }
}

void OpenMpServer::runCallback(Script& script, const char* name) {
    int index = -1;
    if (script.findPublic(name, &index) == AMX_ERR_NONE && script.exec(index) == AMX_ERR_EXIT) {
        host_.serverLog("[Error] Forced exit");
    }
}

void OpenMpServer::runTimer(AMX* amx, int publicIndex) {
    std::shared_ptr<Script> owner = host_.scriptOwning(amx);
    if (owner == nullptr) {
        host_.fault(
            "a timer fired for a machine that no loaded script owns: it was set through "
            "a struct other than the script's own, which the script's unload did not "
            "match");
        return;
    }
    Script& script = *owner;
    if (script.exec(publicIndex) == AMX_ERR_EXIT) {
        std::vector<char> name(static_cast<size_t>(script.nameLength()) + 1);
        script.getPublic(publicIndex, name.data());
        host_.serverLog(std::string("SetTimer(Ex): There was a problem in calling ") + name.data() +
                        ": Forced exit");
    }
}

cell OpenMpServer::setTimer(AMX* amx, cell* params) {
    OpenMpServer& server = *g_server;
    void** table = server.host_.amxExports();
    cell* name = nullptr;
    char text[64];
    int index = -1;
    if (reinterpret_cast<amx_GetAddr_t>(table[PLUGIN_AMX_EXPORT_GetAddr])(amx, params[1], &name) !=
            AMX_ERR_NONE ||
        reinterpret_cast<amx_GetString_t>(table[PLUGIN_AMX_EXPORT_GetString])(
            text, name, 0, sizeof text) != AMX_ERR_NONE ||
        Script::of(amx).findPublic(text, &index) != AMX_ERR_NONE) {
        return 0;
    }
    int ticks = std::max(1, static_cast<int>(params[2]) / kTickMilliseconds);
    server.timers_.push_back({++server.lastTimerId_, amx, index, ticks, ticks, params[3] != 0});
    return server.lastTimerId_;
}

cell OpenMpServer::killTimer(AMX* amx, cell* params) {
    auto& timers = g_server->timers_;
    auto timer = std::find_if(timers.begin(), timers.end(), [&](const KeptTimer& t) {
        return t.id == params[1] && t.amx == amx;
    });
    if (timer == timers.end()) {
        return 0;
    }
    timers.erase(timer);
    return 1;
}

cell OpenMpServer::http(AMX* amx, cell*) {
    std::lock_guard<std::mutex> lock(g_server->httpGuard_);
    g_server->httpCallers_.push_back(amx);
    return 1;
}

std::vector<AMX*> OpenMpServer::httpCallers() const {
    std::lock_guard<std::mutex> lock(httpGuard_);
    return httpCallers_;
}

}  // namespace emu
