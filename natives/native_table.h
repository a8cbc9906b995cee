#pragma once

#include "host/host_api.h"

// Every native of the plugin in registration order, ended by a null entry.
extern const AMX_NATIVE_INFO kNatives[];
