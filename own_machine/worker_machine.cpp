#include "own_machine/worker_machine.h"

#include <cstring>
#include <type_traits>

AMX* WorkerMachine::prepare(const AMX& script) {
    amx_.base = script.base;
    amx_.data = script.data;
    amx_.callback = &WorkerMachine::callback;
    amx_.debug = script.debug;
    amx_.flags = script.flags;
    std::memcpy(amx_.usertags, script.usertags, sizeof amx_.usertags);
    std::memcpy(amx_.userdata, script.userdata, sizeof amx_.userdata);
    amx_.sysreq_d = script.sysreq_d;
    scriptCallback_ = script.callback;

    amx_.cip = 0;
    amx_.frm = 0;
    amx_.hlw = amx_.hea = room_->heapBottom(slot_);
    amx_.stp = amx_.stk = room_->stackTop(slot_);
    // String functions rely on the zero cell at the top.
    std::memset(amx_.data + amx_.stp, 0, sizeof(cell));
    amx_.pri = 0;
    amx_.alt = 0;
    amx_.error = AMX_ERR_NONE;
    amx_.paramcount = 0;
    amx_.reset_stk = amx_.stk;
    amx_.reset_hea = amx_.hea;
    return &amx_;
}

int WorkerMachine::callback(AMX* amx, cell index, cell* result, cell* params) {
    static_assert(std::is_standard_layout<WorkerMachine>::value,
                  "the struct the machine hands over leads the worker's machine");
    auto* worker = reinterpret_cast<WorkerMachine*>(amx);
    if (worker->room_->refuses(index)) {
        amx->error = AMX_ERR_NONE;
        *result = 0;
        return AMX_ERR_NONE;
    }
    return worker->scriptCallback_(amx, index, result, params);
}
