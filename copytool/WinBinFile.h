// TBinaryFile: a file or device reached through one Win32 handle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class TBinaryFile {
 public:
  TBinaryFile();
  // Closes the handle when IsOpen, also one attached from outside.
  ~TBinaryFile();
  TBinaryFile(const TBinaryFile&) = delete;
  TBinaryFile& operator=(const TBinaryFile&) = delete;

  void SetFileName(const std::string& Name);
  // Takes ownership of Handle.
  void AttachHandle(HANDLE Handle);

  // Mode 1 read/write exclusive, 2 write exclusive, anything else read shared for reading.
  // True at once when already open.
  bool Open(int Mode);
  // Creates FileName; fails when it exists.
  bool CreateNew();
  void Close();

  // One ReadFile call (opening for reading first); the count read, 0 on failure.
  DWORD Read(void* Buffer, DWORD Count);
  // One WriteFile call (opening for reading and writing first); the count written.
  DWORD Write(const void* Buffer, DWORD Count);
  // Positions at a byte offset from the start; false when the system refused.
  bool Seek(int64_t Position);
  int64_t Position();
  bool Delete();

  std::string FileName;
  HANDLE Handle;
  bool IsOpen;
};
