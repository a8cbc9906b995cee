#pragma once

#include "host/host_api.h"

cell n_CreateThread(AMX* amx, cell* params);
cell n_CreateThreadEx(AMX* amx, cell* params);
cell n_DestroyThread(AMX* amx, cell* params);
cell n_SleepThread(AMX* amx, cell* params);
