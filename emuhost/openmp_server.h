// The order in which open.mp drives a legacy plugin, the same on Linux and
// Windows. It asks Supports which exports to use at all: AmxLoad and
// AmxUnload with flag 0x10000, ProcessTick with version 0x0200 and flag
// 0x20000. It reads Load's result as an int, and after a failed Load calls
// none of the plugin's exports again, not even Unload. It ignores what
// AmxLoad returns. A script gets the server's natives before AmxLoad and
// runs its init callback after it; at its unload its exit callback runs,
// then its timers are killed, then AmxUnload. At shutdown every script is
// unloaded before Unload. The main loop runs due timers and ProcessTick.
//
// Its machines clear the error field before every native call, and its
// CallRemoteFunction and CallLocalFunction find publics with amx_FindPublic.
// A callback or timer that a native's raised error ended is logged, as the
// server logs it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "emuhost/emulated_host.h"

namespace emu {

class OpenMpServer {
  public:
    // Of a filterscript: the server runs them if the script has them.
    static constexpr const char* kInitCallback = "OnFilterScriptInit";
    static constexpr const char* kExitCallback = "OnFilterScriptExit";
    // The server's natives a script may call: SetTimer(const name[], interval,
    // repeating) returns a timer id, KillTimer(id). An interval is counted in
    // ticks of 5 ms, the main loop's pace, so that timers run at set ticks.
    // SetTimer keeps the AMX* it is handed and runs the public through it; a
    // script's timers are killed at its unload by matching its own struct,
    // and one that fires for a struct no loaded script owns is the host's
    // fault. HTTP(index, type, url[], data[], callback[]) only keeps the
    // AMX* it is handed (httpCallers).
    static const std::vector<std::string> kNatives;

    explicit OpenMpServer(EmulatedHost& host);
    ~OpenMpServer();
    OpenMpServer(const OpenMpServer&) = delete;
    OpenMpServer& operator=(const OpenMpServer&) = delete;

    // Supports, then Load; false when Load refused.
    bool start();
    Script& loadScript(ScriptDefinition definition);
    void unloadScript(Script& script);
    // One pass of the main loop.
    void tick();
    void shutdown();

    // How many times the server called ProcessTick.
    int processTicks() const { return processTicks_; }
    // The structs HTTP was handed, in call order.
    std::vector<AMX*> httpCallers() const;

  private:
    static const AMX_NATIVE_INFO kNativeTable[];
    static cell setTimer(AMX* amx, cell* params);
    static cell killTimer(AMX* amx, cell* params);
    static cell http(AMX* amx, cell* params);
    void runCallback(Script& script, const char* name);
    void runTimer(AMX* amx, int publicIndex);

    EmulatedHost& host_;
    bool loaded_ = false;
    bool amxCalls_ = false;
    bool processTick_ = false;
    int processTicks_ = 0;
    std::vector<Script*> scripts_;
    std::vector<KeptTimer> timers_;
    cell lastTimerId_ = 0;
    // Today's shared machine lets workers call it.
    mutable std::mutex httpGuard_;
    std::vector<AMX*> httpCallers_;
};

}  // namespace emu
