#include "plugin/banners.h"

#include "host/host.h"

namespace {
const char* const kRule = "______________________________________\n";
}

void printLoadBanner() {
    host::logprintf("\n");
    host::logprintf(kRule);
    host::logprintf(" Vantrel plugin v" VANTREL_VERSION " loaded");
    host::logprintf(kRule);
    host::logprintf(" Threads for Pawn scripts, by the Vantrel developers");
    host::logprintf(kRule);
}

void printUnloadBanner() {
    host::logprintf("\n");
    host::logprintf(kRule);
    host::logprintf(" Vantrel plugin v" VANTREL_VERSION " unloaded");
    host::logprintf(kRule);
}
