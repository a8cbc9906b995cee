#pragma once

void printLoadBanner();
void printUnloadBanner();
