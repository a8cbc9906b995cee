#pragma once

#include "threads/s_manager.h"

// Makes each machine the registry named abandon the public that called the
// running native on this worker: nothing more of it runs. The worker clears
// their error fields once its public has been abandoned.
void endPublicIn(const S_Manager::Machines& machines);
