// The server's plugin interface and the script machine's handle, written from
// the documented layout and calling rules of the host. The plugin and the
// emulated host both include this file, so they agree on every build.
#pragma once

#include <cstddef>
#include <cstdint>

// The six entry points' convention. The Windows servers call them __stdcall,
// the callee popping its arguments; natives and the AMX function table keep
// the default C convention on every system.
#ifdef _WIN32
#define PLUGIN_CALL __stdcall
#else
#define PLUGIN_CALL
#endif

typedef int32_t cell;
typedef uint32_t ucell;

struct AMX;
typedef cell (*AMX_NATIVE)(AMX* amx, cell* params);
typedef int (*AMX_CALLBACK)(AMX* amx, cell index, cell* result, cell* params);
typedef int (*AMX_DEBUG)(AMX* amx);

#pragma pack(push, 1)
struct AMX {
    unsigned char* base;
    unsigned char* data;
    AMX_CALLBACK callback;
    AMX_DEBUG debug;
    cell cip;
    cell frm;
    cell hea;
    cell hlw;
    cell stk;
    cell stp;
    int flags;
    long usertags[4];
    void* userdata[4];
    int error;
    int paramcount;
    cell pri;
    cell alt;
    cell reset_stk;
    cell reset_hea;
    cell sysreq_d;
};
#pragma pack(pop)

static_assert(sizeof(cell) == 4, "a cell is 32 bits on every build");
static_assert(sizeof(void*) != 4 || offsetof(AMX, error) == 76,
              "the 32-bit server reads the error field at byte 76");

struct AMX_NATIVE_INFO {
    const char* name;
    AMX_NATIVE func;
};

enum AmxError {
    AMX_ERR_NONE = 0,
    AMX_ERR_EXIT = 1,
    AMX_ERR_MEMACCESS = 5,
    AMX_ERR_NATIVE = 10,
    AMX_ERR_MEMORY = 16,
    AMX_ERR_NOTFOUND = 19,
    AMX_ERR_INDEX = 20,
    AMX_ERR_INIT = 22,
};

// The longest public name any Pawn compiler makes, without its terminator.
constexpr int kMaxPublicName = 63;

// Slots of the data table handed to Load.
enum PluginData {
    PLUGIN_DATA_LOGPRINTF = 0x00,
    PLUGIN_DATA_AMX_EXPORTS = 0x10,
};

enum SupportsFlags {
    SUPPORTS_VERSION = 0x0200,
    SUPPORTS_VERSION_MASK = 0xFFFF,
    SUPPORTS_AMX_NATIVES = 0x10000,
    SUPPORTS_PROCESS_TICK = 0x20000,
};

// Indices into the AMX function table.
enum AmxExport {
    PLUGIN_AMX_EXPORT_Exec = 7,
    PLUGIN_AMX_EXPORT_FindNative = 8,
    PLUGIN_AMX_EXPORT_FindPublic = 9,
    PLUGIN_AMX_EXPORT_FindPubVar = 10,
    PLUGIN_AMX_EXPORT_GetAddr = 13,
    PLUGIN_AMX_EXPORT_GetNative = 14,
    PLUGIN_AMX_EXPORT_GetPublic = 15,
    PLUGIN_AMX_EXPORT_GetString = 17,
    PLUGIN_AMX_EXPORT_NameLength = 23,
    PLUGIN_AMX_EXPORT_NumNatives = 25,
    PLUGIN_AMX_EXPORT_NumPublics = 26,
    PLUGIN_AMX_EXPORT_Push = 29,
    PLUGIN_AMX_EXPORT_RaiseError = 32,
    PLUGIN_AMX_EXPORT_Register = 33,
    PLUGIN_AMX_EXPORT_StrLen = 39,
    PLUGIN_AMX_EXPORT_COUNT = 44,
};

typedef void (*logprintf_t)(const char* format, ...);
typedef int (*amx_Exec_t)(AMX* amx, cell* retval, int index);
typedef int (*amx_FindPublic_t)(AMX* amx, const char* name, int* index);
// The index of the script's imported native of that name; copies no name.
typedef int (*amx_FindNative_t)(AMX* amx, const char* name, int* index);
// The script address of a public variable, for amx_GetAddr.
typedef int (*amx_FindPubVar_t)(AMX* amx, const char* varname, cell* amx_addr);
// Copies the index-th imported native's name without a bound.
typedef int (*amx_GetNative_t)(AMX* amx, int index, char* funcname);
typedef int (*amx_NumNatives_t)(AMX* amx, int* number);
typedef int (*amx_GetAddr_t)(AMX* amx, cell amx_addr, cell** phys_addr);
// Copies the name without a bound: funcname must hold the longest name that
// amx_NameLength gives, and its terminator.
typedef int (*amx_GetPublic_t)(AMX* amx, int index, char* funcname);
typedef int (*amx_NumPublics_t)(AMX* amx, int* number);
// The longest public name of the machine, without its terminator.
typedef int (*amx_NameLength_t)(AMX* amx, int* length);
typedef int (*amx_GetString_t)(char* dest, const cell* source, int use_wchar, size_t size);
typedef int (*amx_Push_t)(AMX* amx, cell value);
typedef int (*amx_RaiseError_t)(AMX* amx, int error);
typedef int (*amx_Register_t)(AMX* amx, const AMX_NATIVE_INFO* list, int number);
typedef int (*amx_StrLen_t)(const cell* cstring, int* length);
