#include "emuhost/openmp_server.h"

#include <algorithm>
#include <stdexcept>

namespace emu {

namespace {

OpenMpServer* g_server = nullptr;

const int kTickMilliseconds = 5;

}  // namespace

const std::vector<std::string> OpenMpServer::kNatives = {"SetTimer", "KillTimer"};

const AMX_NATIVE_INFO OpenMpServer::kNativeTable[] = {
    {"SetTimer", &OpenMpServer::setTimer},
    {"KillTimer", &OpenMpServer::killTimer},
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
                                 [&](const Timer& timer) { return timer.script == &script; }),
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
    for (Timer& timer : timers_) {
        if (--timer.ticksLeft == 0) {
            due.push_back(timer.id);
        }
    }
    for (cell id : due) {
        auto timer = std::find_if(timers_.begin(), timers_.end(),
                                  [id](const Timer& t) { return t.id == id; });
        if (timer == timers_.end()) {
            continue;
        }
        Script& script = *timer->script;
        int publicIndex = timer->publicIndex;
        if (timer->repeating) {
            timer->ticksLeft = timer->interval;
        } else {
            timers_.erase(timer);
        }
        runTimer(script, publicIndex);
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

void OpenMpServer::runTimer(Script& script, int publicIndex) {
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
    server.timers_.push_back(
        {++server.lastTimerId_, &Script::of(amx), index, ticks, ticks, params[3] != 0});
    return server.lastTimerId_;
}

cell OpenMpServer::killTimer(AMX* amx, cell* params) {
    auto& timers = g_server->timers_;
    auto timer = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) {
        return t.id == params[1] && t.script == &Script::of(amx);
    });
    if (timer == timers.end()) {
        return 0;
    }
    timers.erase(timer);
    return 1;
}

}  // namespace emu
