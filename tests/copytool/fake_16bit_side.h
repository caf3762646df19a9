// Windows 95's 16-bit side for tests, put into Entries16 for the object's lifetime: 16-bit
// memory as selectors mapped to buffers, the disk library's two routines decoded from the
// words pushed for them, and an in-memory disk of a given geometry.
#pragma once

#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Win95Entries.h"

struct TFakeRequest {
  int Drive, Cylinder, Head, Sector, Count;
  bool operator==(const TFakeRequest& Other) const {
    return std::tie(Drive, Cylinder, Head, Sector, Count) ==
           std::tie(Other.Drive, Other.Cylinder, Other.Head, Other.Sector, Other.Count);
  }
};

class TFake16BitSide {
 public:
  TFake16BitSide(BYTE Drive, int Heads, int SectorsPerTrack, int Cylinders)
      : Image(size_t(Heads) * SectorsPerTrack * Cylinders * 512),
        Saved(Entries16),
        Drive(Drive),
        Heads(Heads),
        SectorsPerTrack(SectorsPerTrack),
        Cylinders(Cylinders) {
    Current = this;
    Entries16 = {true,           &CallRoutine,  &LoadLibrary16,   &FreeLibrary16, &GetProcAddress16,
                 &GlobalAlloc16, &GlobalFree16, &WOWGetVDMPointer};
  }
  ~TFake16BitSide() {
    Entries16 = Saved;
    Current = nullptr;
  }
  TFake16BitSide(const TFake16BitSide&) = delete;
  TFake16BitSide& operator=(const TFake16BitSide&) = delete;

  bool FailLoad = false;
  int AllocationsLeft = -1;  // -1: no limit
  std::string LoadedPath, LoadedContent;
  int LoadedModules = 0;                     // loads not yet freed
  std::vector<std::vector<WORD>> Calls;      // the words pushed for each routine call
  std::vector<TFakeRequest> Requests;        // decoded write requests
  std::map<WORD, std::vector<BYTE>> Memory;  // 16-bit memory not yet freed
  std::vector<BYTE> Image;

  static constexpr WORD Module = 0x2A7;

 private:
  static constexpr DWORD GeometryRoutine = 0x2A70010, WriteRoutine = 0x2A70020;
  static inline TFake16BitSide* Current = nullptr;

  BYTE* Flat(WORD Selector, WORD Offset) { return &Memory.at(Selector).at(Offset); }

  DWORD ReadGeometry(const std::vector<WORD>& Words) {
    BYTE* Record = Flat(Words[0], Words[1]);
    if (Record[0] != Drive) return 1;
    Record[1] = LOBYTE(Cylinders);
    Record[2] = HIBYTE(Cylinders);
    Record[3] = static_cast<BYTE>(Heads - 1);
    Record[4] = static_cast<BYTE>(SectorsPerTrack);
    return 1;
  }

  DWORD WritePhysical(const std::vector<WORD>& Words) {
    const BYTE* Request = Flat(Words[0], Words[1]);
    TFakeRequest Decoded{Request[0], Request[1] | Request[2] << 8, Request[3], Request[4],
                         Request[5]};
    Requests.push_back(Decoded);
    DWORD Bytes = MAKELONG(Words[5], Words[4]);
    size_t Linear =
        (size_t(Decoded.Cylinder) * Heads + Decoded.Head) * SectorsPerTrack + Decoded.Sector - 1;
    if (Decoded.Drive != Drive || Bytes != Decoded.Count * 512u ||
        (Linear + Decoded.Count) * 512 > Image.size())
      return 0;
    memcpy(&Image[Linear * 512], Flat(Words[2], Words[3]), Bytes);
    return Bytes;
  }

  static DWORD CallRoutine(DWORD Routine, const WORD* Words, DWORD Count) {
    Current->Calls.emplace_back(Words, Words + Count);
    if (Routine == GeometryRoutine && Count == 2)
      return Current->ReadGeometry(Current->Calls.back());
    if (Routine == WriteRoutine && Count == 6) return Current->WritePhysical(Current->Calls.back());
    return 0;
  }
  static WORD WINAPI LoadLibrary16(LPCSTR Path) {
    Current->LoadedPath = Path;
    std::ifstream In(Path, std::ios::binary);
    Current->LoadedContent.assign(std::istreambuf_iterator<char>(In), {});
    if (Current->FailLoad) return 2;
    ++Current->LoadedModules;
    return Module;
  }
  static void WINAPI FreeLibrary16(WORD) { --Current->LoadedModules; }
  static DWORD WINAPI GetProcAddress16(WORD From, LPCSTR Name) {
    if (From != Module) return 0;
    if (strcmp(Name, "READDISKGEOMETRY") == 0) return GeometryRoutine;
    return strcmp(Name, "WRITEPHYSICALSECTOR") == 0 ? WriteRoutine : 0;
  }
  static WORD WINAPI GlobalAlloc16(WORD Flags, DWORD Size) {
    if (Current->AllocationsLeft == 0) return 0;
    if (Current->AllocationsLeft > 0) --Current->AllocationsLeft;
    static WORD Next = 0x1007;
    Next += 8;
    Current->Memory[Next].assign(Size, Flags & 0x40 ? 0 : 0xCC);
    return Next;
  }
  static WORD WINAPI GlobalFree16(WORD Selector) {
    return Current->Memory.erase(Selector) ? 0 : Selector;
  }
  static LPVOID WINAPI WOWGetVDMPointer(DWORD Address, DWORD, BOOL) {
    auto Found = Current->Memory.find(HIWORD(Address));
    return Found == Current->Memory.end() ? nullptr : Found->second.data() + LOWORD(Address);
  }

  T16BitEntries Saved;
  BYTE Drive;
  int Heads, SectorsPerTrack, Cylinders;
};
