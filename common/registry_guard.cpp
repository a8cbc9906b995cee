#include "common/registry_guard.h"

RegistryMutex registryGuard;
