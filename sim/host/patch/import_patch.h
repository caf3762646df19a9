#pragma once
// Replacement of a loaded module's imported functions, for tests and the bench host.
// Code that already loaded the slot (a compiler may keep an import address in a register within
// one function) goes on calling the old target until it loads the slot again.
#include <windows.h>

// Points `module`'s import slot of `function` from `dll` (DLL name compared without regard to
// case) at `replacement`. Returns the previous pointer, or nullptr when the module does not import
// that function from that DLL. Patching the previous pointer back restores the original.
void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement);
