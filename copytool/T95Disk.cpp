#include "T95Disk.h"

#include <cctype>
#include <cstring>

#include "QTThunkU.h"

namespace {

const char* const ZorlatDownloadLocation = "the snaptree release page";

std::string LibraryPath() {
  char Path[MAX_PATH] = {0};
  DWORD Length = GetModuleFileNameA(nullptr, Path, sizeof(Path));
  std::string Program(Path, Length < sizeof(Path) ? Length : 0);
  return Program.substr(0, Program.find_last_of('\\') + 1) + "Zorlat.DLL";
}

// Writes the library the program carries as its resource "zorlat" of type "DLL" to Path.
void ExtractLibrary(const std::string& Path) {
  HRSRC Resource = FindResourceA(nullptr, "zorlat", "DLL");
  HGLOBAL Loaded = Resource ? LoadResource(nullptr, Resource) : nullptr;
  const void* Bytes = Loaded ? LockResource(Loaded) : nullptr;
  if (!Bytes) return;
  DWORD Size = SizeofResource(nullptr, Resource);
  DeleteFileA(Path.c_str());
  HANDLE File = CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (File == INVALID_HANDLE_VALUE) return;
  DWORD Written = 0;
  bool Whole = WriteFile(File, Bytes, Size, &Written, nullptr) && Written == Size;
  CloseHandle(File);
  // A cut-off library would be loaded by every later run.
  if (!Whole) DeleteFileA(Path.c_str());
}

}  // namespace

T95Disk::T95Disk() : GeometryValid(false), Module16(0), DiskRecord{} {
  Bind16BitEntries();
  std::string Path = LibraryPath();
  if (GetFileAttributesA(Path.c_str()) == INVALID_FILE_ATTRIBUTES) ExtractLibrary(Path);
  WORD Module = Entries16.LoadLibrary16(Path.c_str());
  if (Module < 32) {
    // MessageBox has no lone Cancel button; the dialog's one OK button ends the program too.
    ErrorDialog(std::string("Failed to load zorlat.dll.  Please make sure that this file is "
                            "available (in the same directory as this application)\nIf you "
                            "do not have a copy you can download it from ") +
                ZorlatDownloadLocation);
    throw E95DiskError("LoadLibrary16 failed!");
  }
  Module16 = Module;
}

T95Disk::~T95Disk() { Entries16.FreeLibrary16(Module16); }

bool T95Disk::OpenDrive(const std::string& Name) {
  char Letter = Name.empty() ? 0 : static_cast<char>(toupper(static_cast<unsigned char>(Name[0])));
  if (Letter < 'A' || Letter > 'Z') return false;
  BYTE Drive = Letter == 'A' ? 0 : Letter == 'B' ? 1 : static_cast<BYTE>(0x80 + Letter - 'C');
  return ReadGeometry(Drive);
}

bool T95Disk::ReadGeometry(BYTE Drive) {
  DiskRecord[0] = Drive;
  DiskRecord[4] = 0;
  Call16BitRoutine("READDISKGEOMETRY", Module16, false, {TThunkValue::Ptr(DiskRecord)}, {6});
  GeometryValid = DiskRecord[4] != 0;
  return GeometryValid;
}

bool T95Disk::WritePhysical(BYTE Sector, BYTE Head, WORD Cylinder, void* Buffer, BYTE Count) {
  if (!GeometryValid) return false;
  BYTE Request[6] = {DiskRecord[0], LOBYTE(Cylinder), HIBYTE(Cylinder), Head, Sector, Count};
  uint32_t Bytes = Count * SECTOR_SIZE_95;
  return Call16BitRoutine(
             "WRITEPHYSICALSECTOR", Module16, false,
             {TThunkValue::Ptr(Request), TThunkValue::Ptr(Buffer), TThunkValue::Int(Bytes)},
             {6, Bytes, 4}) > 0;
}

bool T95Disk::WriteSectors(uint64_t First, void* Buffer, uint32_t Count) {
  unsigned char* Data = static_cast<unsigned char*>(Buffer);
  while (Count > 0) {
    if (!GeometryValid) {
      SetLastError(ERROR_NOT_READY);
      return false;
    }
    const uint32_t SectorsPerTrack = DiskRecord[4], Heads = DiskRecord[3] + 1u;
    uint32_t Sector = static_cast<uint32_t>(First % SectorsPerTrack);
    uint64_t Track = First / SectorsPerTrack;
    uint64_t Cylinder = Track / Heads;
    // The request holds 16 bits of cylinder: a larger one would land on a lower cylinder.
    if (Cylinder > 0xFFFF) {
      Log("Sector " + std::to_string(First) + " lies on cylinder " + std::to_string(Cylinder) +
          ", beyond the last one a Windows 95 drive call reaches (65535)");
      SetLastError(ERROR_SECTOR_NOT_FOUND);
      return false;
    }
    uint32_t Run = SectorsPerTrack - Sector;
    if (Run > 255) Run = 255;
    if (Run > Count) Run = Count;
    if (!WritePhysical(static_cast<BYTE>(Sector + 1), static_cast<BYTE>(Track % Heads),
                       static_cast<WORD>(Cylinder), Data, static_cast<BYTE>(Run))) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    Data += Run * SECTOR_SIZE_95;
    First += Run;
    Count -= Run;
  }
  return true;
}

bool Is95DriveName(const std::string& Name) { return Name.size() == 2 && Name[1] == ':'; }

uint64_t T95DriveOutput::FirstSector(const std::string& Name, int64_t Seek, int64_t BlockSize) {
  Bind16BitEntries();
  // A drive takes whole sectors only: anything else would shift or drop data.
  if (BlockSize % SECTOR_SIZE_95 != 0)
    throw E95DiskError("The block size for drive " + Name + " must be a whole number of " +
                       "512-byte sectors, not " + std::to_string(BlockSize) + " bytes");
  if (Seek < 0 || Seek % SECTOR_SIZE_95 != 0)
    throw E95DiskError("The seek offset on drive " + Name + " must be a whole number of " +
                       "512-byte sectors, not " + std::to_string(Seek) + " bytes");
  Log("read from 95 disk");
  return static_cast<uint64_t>(Seek) / SECTOR_SIZE_95;
}

T95DriveOutput::T95DriveOutput(const std::string& Name, int64_t Seek, int64_t BlockSize)
    : NextSector(FirstSector(Name, Seek, BlockSize)) {
  Disk.OpenDrive(Name);
}

DWORD T95DriveOutput::Write(unsigned char* Buffer, DWORD Got) {
  DWORD Sectors = (Got + SECTOR_SIZE_95 - 1) / SECTOR_SIZE_95;
  memset(Buffer + Got, 0, Sectors * SECTOR_SIZE_95 - Got);
  if (!Disk.WriteSectors(NextSector, Buffer, Sectors)) return 0;
  NextSector += Sectors;
  return Got;
}
