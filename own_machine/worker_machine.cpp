#include "own_machine/worker_machine.h"

#include <cstring>
#include <type_traits>

AMX* WorkerMachine::prepare(const AMX& script) {
    if (scriptCallback_ == nullptr) {
        struct_.amx.base = script.base;
        struct_.amx.data = script.data;
        struct_.amx.callback = &WorkerMachine::callback;
        struct_.amx.debug = script.debug;
        struct_.amx.flags = script.flags;
        std::memcpy(struct_.amx.usertags, script.usertags, sizeof struct_.amx.usertags);
        std::memcpy(struct_.amx.userdata, script.userdata, sizeof struct_.amx.userdata);
        struct_.amx.sysreq_d = script.sysreq_d;
        scriptCallback_ = script.callback;
    }

    struct_.amx.cip = 0;
    struct_.amx.frm = 0;
    struct_.amx.hlw = struct_.amx.hea = heapBottom_;
    struct_.amx.stp = struct_.amx.stk = stackTop_;
    // String functions rely on the zero cell at the top.
    std::memset(struct_.amx.data + struct_.amx.stp, 0, sizeof(cell));
    struct_.amx.pri = 0;
    struct_.amx.alt = 0;
    struct_.amx.error = AMX_ERR_NONE;
    struct_.amx.paramcount = 0;
    struct_.amx.reset_stk = struct_.amx.stk;
    struct_.amx.reset_hea = struct_.amx.hea;
    return &struct_.amx;
}

const WorkerMachine* WorkerMachine::of(const AMX* amx) {
    return amx->callback == &WorkerMachine::callback ? reinterpret_cast<const WorkerMachine*>(amx)
                                                     : nullptr;
}

cell WorkerMachine::readableFrom(cell address) const {
    const AMX& own = struct_.amx;
    cell block = room_->blockBytes();
    if (address >= 0 && address < block) {
        return block - address;
    }
    return address >= own.hlw && address <= own.stp
               ? own.stp + static_cast<cell>(sizeof(cell)) - address
               : 0;
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
