#pragma once

#include "plugin/host_api.h"

// Makes the script machines abandon the public of the calling worker at the
// native it called in amx: that machine, and the worker's own when the public
// called into another script. Nothing more of either runs on the worker; the
// worker clears their error fields once its public has been abandoned.
void endCallingPublic(AMX* amx);
