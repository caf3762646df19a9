// Live COM objects of the simulated service; every object counts itself in its constructor and
// out in its destructor so tests can prove that no reference leaks.
#pragma once

#include <windows.h>

extern LONG g_simvss_objects;
