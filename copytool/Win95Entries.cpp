#include "Win95Entries.h"

T16BitEntries Entries16 = {};

namespace {

const char* const NotWindows95 =
    "Writing to a drive by its letter (such as a:) works on Windows 95 only; on this system "
    "name the device by its NT path (\\\\?\\Device\\...) instead";

}  // namespace

#if defined(__i386__)

// QT_Thunk takes the 16:16 routine in EDX and the routine's words on the stack below an
// EBP frame that leaves it room of its own; the routine removes its words, and the frame
// puts ESP back either way. Answers DX:AX.
extern "C" DWORD CallQTThunk(DWORD Routine, const WORD* Words, DWORD Count, void* QTThunk);
asm(R"(
  .text
  .globl _CallQTThunk
_CallQTThunk:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  subl $0x40, %esp
  movl 12(%ebp), %esi
  movl 16(%ebp), %ecx
  xorl %ebx, %ebx
1:
  cmpl %ecx, %ebx
  jae 2f
  pushw (%esi,%ebx,2)
  incl %ebx
  jmp 1b
2:
  movl 8(%ebp), %edx
  movl 20(%ebp), %eax
  call *%eax
  movzwl %ax, %eax
  shll $16, %edx
  orl %edx, %eax
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");

namespace {

void* QTThunkEntry = nullptr;

DWORD CallThroughQTThunk(DWORD Routine, const WORD* Words, DWORD Count) {
  return CallQTThunk(Routine, Words, Count, QTThunkEntry);
}

// Windows 95's GetProcAddress refuses kernel32 ordinals on purpose, so the export table
// is read directly.
void* ExportByOrdinal(HMODULE Module, WORD Ordinal) {
  const BYTE* Base = reinterpret_cast<const BYTE*>(Module);
  auto Dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Base);
  auto Nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(Base + Dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& Directory =
      Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (Directory.VirtualAddress == 0) return nullptr;
  auto Exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(Base + Directory.VirtualAddress);
  if (Ordinal < Exports->Base || Ordinal - Exports->Base >= Exports->NumberOfFunctions)
    return nullptr;
  DWORD Address =
      reinterpret_cast<const DWORD*>(Base + Exports->AddressOfFunctions)[Ordinal - Exports->Base];
  return Address ? const_cast<BYTE*>(Base + Address) : nullptr;
}

template <typename TEntry>
void BindEntry(TEntry& Entry, void* Address, const std::string& Name) {
  if (!Address) throw E95DiskError("Windows 95 lacks the entry point " + Name);
  Entry = reinterpret_cast<TEntry>(Address);
}

void* Named(HMODULE Module, const char* Name) {
  return Module ? reinterpret_cast<void*>(GetProcAddress(Module, Name)) : nullptr;
}

}  // namespace

void Bind16BitEntries() {
  if (Entries16.Bound) return;
  // The high bit marks the Windows 95 family (and Win32s, which has no QT_Thunk).
  if ((GetVersion() & 0x80000000) == 0) throw E95DiskError(NotWindows95);
  HMODULE Kernel = GetModuleHandleA("Kernel32.Dll");
  HMODULE Wow = LoadLibraryA("wow32.dll");
  T16BitEntries Bound = {};
  QTThunkEntry = Named(Kernel, "QT_Thunk");
  if (!QTThunkEntry) throw E95DiskError("Windows 95 lacks the entry point QT_Thunk");
  Bound.CallRoutine = &CallThroughQTThunk;
  BindEntry(Bound.LoadLibrary16, ExportByOrdinal(Kernel, 35), "LoadLibrary16 (kernel32 #35)");
  BindEntry(Bound.FreeLibrary16, ExportByOrdinal(Kernel, 36), "FreeLibrary16 (kernel32 #36)");
  BindEntry(Bound.GetProcAddress16, ExportByOrdinal(Kernel, 37), "GetProcAddress16 (kernel32 #37)");
  BindEntry(Bound.GlobalAlloc16, ExportByOrdinal(Kernel, 24), "GlobalAlloc16 (kernel32 #24)");
  BindEntry(Bound.GlobalFree16, ExportByOrdinal(Kernel, 31), "GlobalFree16 (kernel32 #31)");
  BindEntry(Bound.WOWGetVDMPointer, Named(Wow, "WOWGetVDMPointer"), "WOWGetVDMPointer");
  Bound.Bound = true;
  Entries16 = Bound;
}

#else

// A 64-bit program never runs on Windows 95 and cannot thunk to 16-bit code.
void Bind16BitEntries() {
  if (!Entries16.Bound) throw E95DiskError(NotWindows95);
}

#endif
