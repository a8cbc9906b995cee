// A stand-in for the SA-MP server: loads the built plugin the way the server
// does and drives it through its six exports and the host's AMX functions.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emuhost/export_call.h"
#include "emuhost/plugin_library.h"
#include "emuhost/script.h"

namespace emu {

// A timer a server's SetTimer set: the AMX* it was handed, kept for the
// public's later runs, and its interval in ticks.
struct KeptTimer {
    cell id;
    AMX* amx;
    int publicIndex;
    int interval;
    int ticksLeft;
    bool repeating;
};

class EmulatedHost {
  public:
    // Opens the plugin file; Load is a separate step, as on the server.
    explicit EmulatedHost(const std::string& pluginPath);
    ~EmulatedHost();
    EmulatedHost(const EmulatedHost&) = delete;
    EmulatedHost& operator=(const EmulatedHost&) = delete;

    // A timer's interval is counted in ticks of this many milliseconds, so
    // that timers run at set ticks.
    static constexpr int kTimerTickMilliseconds = 5;

    unsigned int supports();
    // Load's result as the SA-MP server reads it, a bool; open.mp reads an int.
    bool load();
    bool loadReadingInt();
    void unload();
    // The server's timers that are due, then ProcessTick.
    void tick();
    // ProcessTick alone, as the benchmarks time it.
    void processTick() { enter<void>("ProcessTick", processTick_); }
    bool loaded() const { return loaded_; }

    // The SA-MP server's SetTimer(const name[], interval, repeating), which
    // keeps the AMX* it is handed and runs the public through it from tick,
    // before ProcessTick, and KillTimer(id). A script's timers are killed at
    // its unload by matching its own struct: one set through another struct
    // outlives it, and firing for a struct no loaded script owns is a fault.
    cell setTimer(AMX* amx, cell* params);
    cell killTimer(cell id);
    // The loaded script whose own struct amx is, or null.
    std::shared_ptr<Script> scriptOwning(const AMX* amx) const;

    // Starts a script machine and hands it to AmxLoad; the result of AmxLoad is
    // kept in registerResult.
    Script& loadScript(ScriptDefinition definition, int* registerResult = nullptr);
    // AmxUnload, then frees the machine as the server does. Returns what
    // AmxUnload returned.
    int unloadScript(Script& script);

    // Shared, so that a script a worker runs in stays whole until it leaves,
    // even when a faulty plugin lets AmxUnload return first.
    std::vector<std::shared_ptr<Script>> scripts() const;
    // The steps of loadScript and unloadScript one at a time, for a host that
    // does more between them, as open.mp does (emuhost/openmp_server.h).
    Script& addScript(ScriptDefinition definition);
    int amxLoad(Script& script);
    int amxUnload(Script& script);
    void removeScript(Script& script);

    std::vector<std::string> log() const;
    // A line of the server's log, the plugin's own included.
    void serverLog(const std::string& line);
    void echoLog(bool on) { echo_ = on; }
    // Faults the host saw in the plugin, such as a machine still executing
    // when AmxUnload had returned, an export that moved the stack pointer,
    // a script's struct that AmxUnload left with data, hlw, hea, stk or stp
    // other than at AmxLoad or with globals not copied back to the host's
    // block, or a kept AMX* that outlived its script.
    std::vector<std::string> faults() const;
    void fault(const std::string& what);
    // Faults of the scripts, which break the machine's rules: executions of
    // one script that overlapped on its one stack (emuhost/machine_stack.h),
    // or a worker in a call of the server's that open.mp makes safe on its
    // main thread only. The first hundred.
    std::vector<std::string> scriptFaults() const;

    // open.mp instead of the SA-MP server: the error field is cleared before
    // every native call, and the server's CallRemoteFunction and
    // CallLocalFunction find publics with amx_FindPublic.
    void actAsOpenMp();
    bool findsWithAmxFindPublic() const { return openMp_; }
    // open.mp's own amx_FindPublic, as its CallRemoteFunction and
    // CallLocalFunction use it: a script's fault off the main thread.
    int serverFindPublic(Script& script, const char* name, int* index);

    // Where a test acts right after a native raised an error, before the
    // machine reads it. Set before the plugin runs any code.
    std::function<void(AMX* amx, int error)> afterRaiseError;
    void raised(AMX* amx, int error);

    // The AMX function table handed to the plugin.
    void** amxExports() { return exports_; }
    // Records a fault when a host function that only the server's main
    // thread may call, the one that calls the exports, is called elsewhere.
    void onExportThread(const char* function);

  private:
    static void logprintf(const char* format, ...);
    void killTimersOf(AMX* amx);
    void runDueTimers();
    bool runKept(AMX* amx, int publicIndex, const char* what);
    void scriptFault(const std::string& what);
    // Calls Load and reads its result as a Result.
    template <typename Result>
    bool loadReading();

    // Records a fault when the export it watches moved the stack pointer.
    // Inline: the benchmarks time exports through it.
    struct StackCheck {
        EmulatedHost& host;
        const char* entryPoint;
        bool kept = true;
        ~StackCheck() {
            if (!kept) {
                host.stackMoved(entryPoint);
            }
        }
    };
    void stackMoved(const char* entryPoint);
    template <typename Result, typename... Pointer>
    Result enter(const char* entryPoint, void* entry, Pointer... argument) {
        StackCheck check{*this, entryPoint};
        return callExport<Result>(entry, check.kept, argument...);
    }

    std::unique_ptr<PluginLibrary> library_;
    void* supports_ = nullptr;
    void* load_ = nullptr;
    void* unload_ = nullptr;
    void* amxLoad_ = nullptr;
    void* amxUnload_ = nullptr;
    void* processTick_ = nullptr;

    void* data_[256] = {};
    void* exports_[PLUGIN_AMX_EXPORT_COUNT] = {};
    bool loaded_ = false;
    bool echo_ = false;
    bool openMp_ = false;
    std::thread::id exportThread_;

    mutable std::mutex guard_;
    std::vector<std::string> log_;
    std::vector<std::string> faults_;
    std::vector<std::string> scriptFaults_;
    std::vector<std::shared_ptr<Script>> scripts_;
    std::map<const Script*, RestingRegisters> leftAtLoad_;
    // Workers may set timers through today's shared machine.
    std::mutex timersGuard_;
    std::vector<KeptTimer> timers_;
    cell lastTimerId_ = 0;
};

// The process's live OS threads, their ids and their count: from /proc on
// Linux, from a thread snapshot on Windows.
std::vector<int> processThreadIds();
int countProcessThreads();

}  // namespace emu
