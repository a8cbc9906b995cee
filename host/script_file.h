// The script's file image, read in place at the machine's base. A script file
// is input, like any file a server loads: it may be damaged or made to break
// the server. So the plugin never has the host copy a name into its memory
// (amx_GetPublic copies without a bound, and the longest name the header
// declares is only a claim), and every offset the file declares is checked
// against the image's declared size, every name bounded by what is left of it.
#pragma once

#include "host/host_api.h"

namespace host {

// Finds a public by name, on any thread: the public table is sorted by name,
// and reading it is stateless on both servers (open.mp's amx_FindPublic is
// not, and may be called on its main thread only). AMX_ERR_NOTFOUND also for
// a table or a name that does not lie inside the image.
int FindPublic(AMX* amx, const char* name, int* index);

// Whether the script declares a public variable of that name (`public name;`
// at file scope). False for a table or a name outside the image.
bool DeclaresPublicVariable(AMX* amx, const char* name);

// The block of globals, heap and stack: where data points, or inside the
// image, after the code, when data is null.
unsigned char* DataBlock(AMX* amx);

}  // namespace host
