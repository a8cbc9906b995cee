#pragma once

#include "host/host_api.h"

cell n_LockThread(AMX* amx, cell* params);
cell n_UnLockThread(AMX* amx, cell* params);
