#include "WinBinFile.h"

TBinaryFile::TBinaryFile() : Handle(INVALID_HANDLE_VALUE), IsOpen(false) {}

TBinaryFile::~TBinaryFile() {
  if (IsOpen) Close();
}

void TBinaryFile::SetFileName(const std::string& Name) { FileName = Name; }

void TBinaryFile::AttachHandle(HANDLE NewHandle) {
  Handle = NewHandle;
  IsOpen = true;
}

bool TBinaryFile::Open(int Mode) {
  if (IsOpen) return true;
  DWORD Access = GENERIC_READ;
  DWORD Sharing = FILE_SHARE_READ;
  if (Mode == 1) {
    Access = GENERIC_READ | GENERIC_WRITE;
    Sharing = 0;
  } else if (Mode == 2) {
    Access = GENERIC_WRITE;
    Sharing = 0;
  }
  Handle = CreateFileA(FileName.c_str(), Access, Sharing, nullptr, OPEN_EXISTING, 0, nullptr);
  IsOpen = Handle != INVALID_HANDLE_VALUE;
  return IsOpen;
}

bool TBinaryFile::CreateNew() {
  Handle = CreateFileA(FileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                       nullptr);
  IsOpen = Handle != INVALID_HANDLE_VALUE;
  return IsOpen;
}

void TBinaryFile::Close() {
  // INVALID_HANDLE_VALUE is also the current process's pseudo handle: never pass it on.
  if (IsOpen) CloseHandle(Handle);
  Handle = INVALID_HANDLE_VALUE;
  IsOpen = false;
}

DWORD TBinaryFile::Read(void* Buffer, DWORD Count) {
  if (!IsOpen) Open(0);
  DWORD Done = 0;
  if (!ReadFile(Handle, Buffer, Count, &Done, nullptr)) return 0;
  return Done;
}

DWORD TBinaryFile::Write(const void* Buffer, DWORD Count) {
  if (!IsOpen) Open(1);
  DWORD Done = 0;
  WriteFile(Handle, Buffer, Count, &Done, nullptr);
  return Done;
}

bool TBinaryFile::Seek(int64_t NewPosition) {
  LARGE_INTEGER Distance;
  Distance.QuadPart = NewPosition;
  return SetFilePointerEx(Handle, Distance, nullptr, FILE_BEGIN) != FALSE;
}

int64_t TBinaryFile::Position() {
  LARGE_INTEGER Zero, Current;
  Zero.QuadPart = 0;
  Current.QuadPart = 0;
  SetFilePointerEx(Handle, Zero, &Current, FILE_CURRENT);
  return Current.QuadPart;
}

bool TBinaryFile::Delete() { return DeleteFileA(FileName.c_str()) != FALSE; }
