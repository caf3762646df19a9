// The entry points of Windows 95's 16-bit side that the drive output needs, in one table.
// Only Windows 95 has them (on NT the same kernel32 ordinals name other functions), so the
// table is bound there alone; tests fill it with a fake 16-bit side and set Bound.
#pragma once

#include <windows.h>

#include <string>

#include "debug.h"

struct T16BitEntries {
  bool Bound;
  // Calls the 16:16 routine with Words on its stack in the order given (the first word
  // pushed first) through QT_Thunk; answers DX:AX.
  DWORD (*CallRoutine)(DWORD Routine, const WORD* Words, DWORD Count);
  WORD(WINAPI* LoadLibrary16)(LPCSTR Path);  // below 32: the library did not load
  void(WINAPI* FreeLibrary16)(WORD Module);
  DWORD(WINAPI* GetProcAddress16)(WORD Module, LPCSTR Name);  // 16:16, 0 when absent
  WORD(WINAPI* GlobalAlloc16)(WORD Flags, DWORD Size);        // a selector, 0 on failure
  WORD(WINAPI* GlobalFree16)(WORD Selector);
  LPVOID(WINAPI* WOWGetVDMPointer)(DWORD Address, DWORD Size, BOOL ProtectedMode);
};
extern T16BitEntries Entries16;

// Raised by the Windows 95 disk layer; ends the program when nobody catches it.
class E95DiskError : public EMobriError {
 public:
  explicit E95DiskError(const std::string& Message) : EMobriError(Message) {}
  const char* Kind() const override { return "E95DiskError"; }
};

// Binds Entries16 once; raises E95DiskError on any other system than Windows 95 and when
// an entry point is missing there.
void Bind16BitEntries();
