// The name of a public that a script passes to CreateThread or
// CreateThreadEx, read without trusting the string to end where it should.
#pragma once

#include "host/host_api.h"

// Copies the string at the script address into name; false when it is not a
// readable string of 1 to kMaxPublicName characters.
bool ReadPublicName(AMX* amx, cell address, char (&name)[kMaxPublicName + 1]);
