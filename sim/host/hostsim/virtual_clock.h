// The plug-in's Sleep on a virtual clock: a job run with --virtual-time sees every wait end at
// once, and the host counts the calls and the milliseconds they asked for.
#pragma once

#include <windows.h>

// Points the plug-in's Sleep import at the clock; jobs without a virtual clock still sleep.
bool UseVirtualSleep(HMODULE plugin);
