// Scratch files for the copy program's tests: a folder of its own per test, removed after.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

class TScratchFolder {
 public:
  TScratchFolder() {
    char Temp[MAX_PATH];
    GetTempPathA(MAX_PATH, Temp);
    static int Serial = 0;
    Path = std::string(Temp) + "mobri_test_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(++Serial);
    CreateDirectoryA(Path.c_str(), nullptr);
  }
  ~TScratchFolder() {
    WIN32_FIND_DATAA Found;
    HANDLE Find = FindFirstFileA((Path + "\\*").c_str(), &Found);
    if (Find != INVALID_HANDLE_VALUE) {
      do {
        std::string Name = Found.cFileName;
        if (Name == "." || Name == "..") continue;
        SetFileAttributesA((Path + "\\" + Name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA((Path + "\\" + Name).c_str());
      } while (FindNextFileA(Find, &Found));
      FindClose(Find);
    }
    RemoveDirectoryA(Path.c_str());
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;

  std::string File(const std::string& Name) const { return Path + "\\" + Name; }

  std::string Path;
};

inline void WriteWholeFile(const std::string& Path, const std::string& Data) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

inline std::string ReadWholeFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& Path) {
  return GetFileAttributesA(Path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Bytes that text-mode handling would change: CR LF, lone CR and LF, NUL and Ctrl-Z.
inline std::string BinaryPattern(size_t Length) {
  std::string Data(Length, '\0');
  for (size_t i = 0; i < Length; ++i) Data[i] = static_cast<char>((i * 7 + i / 256) % 256);
  if (Length >= 6) Data.replace(0, 6, std::string("\r\n\x1a\0\n\r", 6));
  return Data;
}

// Message lines as the program writes them: each ends in CR LF.
inline std::string Lines(std::initializer_list<std::string> Texts) {
  std::string Result;
  for (const std::string& Text : Texts) Result += Text + "\r\n";
  return Result;
}
