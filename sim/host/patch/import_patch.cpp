#include "import_patch.h"

#include <cstring>

namespace {

const IMAGE_IMPORT_DESCRIPTOR* FirstImportDescriptor(BYTE* base) {
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return nullptr;
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0 || dir.Size == 0) return nullptr;
  return reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
}

// Writes one slot of the address table, which the loader leaves read-only or copy-on-write.
bool WriteSlot(void** slot, void* value) {
  DWORD old_protect = 0;
  if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old_protect)) return false;
  *slot = value;
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof(*slot), old_protect, &ignored);
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof(*slot));
  return true;
}

}  // namespace

void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  // Low bits mark a module mapped as data or image resource: its table was never bound.
  if (!module || (reinterpret_cast<ULONG_PTR>(module) & 3) || !dll || !function) return nullptr;
  auto base = reinterpret_cast<BYTE*>(module);
  const IMAGE_IMPORT_DESCRIPTOR* desc = FirstImportDescriptor(base);
  if (!desc) return nullptr;
  void* previous = nullptr;
  // A linker may split one DLL's imports over several descriptors: every slot is patched, so no
  // call path keeps the old target.
  for (; desc->Name != 0; ++desc) {
    if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
    // Names survive binding only in the lookup table; without one there is nothing to compare.
    if (desc->OriginalFirstThunk == 0) continue;
    auto names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
    auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      void** slot = reinterpret_cast<void**>(&slots->u1.Function);
      void* old_target = *slot;
      if (!WriteSlot(slot, replacement)) continue;
      if (!previous) previous = old_target;
    }
  }
  return previous;
}
