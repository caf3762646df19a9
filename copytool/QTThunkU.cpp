#include "QTThunkU.h"

#include <cstring>

namespace {

struct TPointerArgument {
  void* Flat;       // the 16-bit memory as this program sees it
  DWORD Segmented;  // selector:0
  DWORD Size;
  void* Caller;  // where the bytes came from and go back to
};

// The module's one argument area, filled anew for every call.
struct TThunkArea {
  WORD Words[THUNK_AREA_BYTES / 2];
  DWORD Used;  // bytes
  DWORD Routine;
  TPointerArgument Pointers[THUNK_MAX_POINTERS];
  int PointerCount;
} Area;

void Put(WORD Word) {
  Area.Words[Area.Used / 2] = Word;
  Area.Used += 2;
}

// The bytes PushParameter adds for a value, checked against the area before anything is put.
DWORD BytesFor(const TThunkValue& Value, uint32_t Size) {
  return Value.Type == TThunkValue::Pointer || Size == 4 ? 4 : 2;
}

void FreePointers() {
  for (int i = 0; i < Area.PointerCount; ++i)
    Entries16.GlobalFree16(HIWORD(Area.Pointers[i].Segmented));
  Area.PointerCount = 0;
}

void PushPointer(void* Memory, uint32_t Size) {
  if (Area.PointerCount == THUNK_MAX_POINTERS) throw EThunkError("Too many pointer parameters");
  WORD Selector = Entries16.GlobalAlloc16(0x40, Size);
  if (Selector == 0)
    throw EThunkError("16-bit memory of " + std::to_string(Size) + " bytes not available");
  DWORD Segmented = MAKELONG(0, Selector);
  void* Flat = Entries16.WOWGetVDMPointer(Segmented, Size, TRUE);
  if (!Flat) {
    Entries16.GlobalFree16(Selector);
    throw EThunkError("16-bit memory could not be mapped");
  }
  memcpy(Flat, Memory, Size);
  Area.Pointers[Area.PointerCount++] = {Flat, Segmented, Size, Memory};
  Put(Selector);
  Put(0);
}

void PushParameter(const TThunkValue& Value, uint32_t Size) {
  if (Area.Used + BytesFor(Value, Size) > THUNK_AREA_BYTES)
    throw EThunkError("Too many parameters");
  if (Value.Type == TThunkValue::Pointer) {
    PushPointer(Value.Memory, Size);
  } else if (Size == 1) {
    Put(Value.Value & 0xFF);
  } else if (Size == 4) {
    Put(HIWORD(Value.Value));
    Put(LOWORD(Value.Value));
  } else {
    Put(LOWORD(Value.Value));
  }
}

}  // namespace

int32_t Call16BitRoutine(const std::string& Name, WORD Module, bool ReverseOrder,
                         const std::vector<TThunkValue>& Values,
                         const std::vector<uint32_t>& Sizes) {
  if (Values.size() != Sizes.size()) throw EInvalidArgument("Parameter mismatch");
  Area.Used = 0;
  Area.PointerCount = 0;
  Area.Routine = Entries16.GetProcAddress16(Module, Name.c_str());
  if (Area.Routine == 0) throw EThunkError("16-bit routine not found");

  try {
    if (!Sizes.empty() && Sizes[0] != 0) {
      for (size_t i = 0; i < Values.size(); ++i) {
        size_t At = ReverseOrder ? Values.size() - 1 - i : i;
        PushParameter(Values[At], Sizes[At]);
      }
    }
  } catch (...) {
    // 16-bit memory is shared by the whole system: give back what was taken.
    FreePointers();
    throw;
  }

  DWORD Result = Entries16.CallRoutine(Area.Routine, Area.Words, Area.Used / 2);
  for (int i = 0; i < Area.PointerCount; ++i)
    memcpy(Area.Pointers[i].Caller, Area.Pointers[i].Flat, Area.Pointers[i].Size);
  FreePointers();
  return static_cast<int32_t>(Result);
}
