// A worker's own machine: a struct that shares its script's code and globals
// (base and data) and has registers, an error field and a parameter count of
// its own, bounding a heap and a stack in one slot of the script's room.
#pragma once

#include <cstddef>

#include "common/registry_guard.h"
#include "host/host_api.h"
#include "own_machine/script_room.h"

class WorkerMachine {
  public:
    // In a slot taken from room, given back by release().
    WorkerMachine(ScriptRoom& room, size_t slot)
        : room_(&room),
          slot_(slot),
          heapBottom_(room.heapBottom(slot)),
          stackTop_(room.stackTop(slot)) {}
    WorkerMachine(const WorkerMachine&) = delete;
    WorkerMachine& operator=(const WorkerMachine&) = delete;

    // Sets the struct up as the host sets up a machine: its registers before
    // every execution of the public, since an overflow error leaves them
    // where the overflow was; the rest from the script's struct as it stands
    // when the worker starts, by which time AmxLoad has set its flags and
    // any plugin has replaced its callback.
    AMX* prepare(const AMX& script);
    AMX* machine() { return &struct_.amx; }
    bool runs(const AMX* amx) const { return amx == &struct_.amx; }
    // The worker's machine that runs on the struct, or null: only a worker's
    // struct calls its natives through this class's callback.
    static const WorkerMachine* of(const AMX* amx);
    // How many bytes from the script address a string may span: the script's
    // block, or the worker's own heap or stack; 0 anywhere else.
    cell readableFrom(cell address) const;
    void release() VANTREL_REQUIRES(registryGuard) { room_->giveBack(slot_); }

  private:
    // The machine calls every native of the worker's through here: a call
    // that the script's callback would make is checked first.
    static int callback(AMX* amx, cell index, cell* result, cell* params);

    // First, so that the callback finds the rest from the struct it is
    // handed. A server's struct may be longer than the fields the plugin
    // knows: its machine finds zeros beyond them, as in a struct it made.
    struct {
        AMX amx;
        unsigned char hostFields[64];
    } struct_{};
    ScriptRoom* const room_;
    const size_t slot_;
    const cell heapBottom_;
    const cell stackTop_;
    // Set at the worker's first execution.
    AMX_CALLBACK scriptCallback_ = nullptr;
};
