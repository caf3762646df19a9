// Run settings of mobri and the command line that fills them: size numbers, operands and
// the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TAction { Copy, List, Usage, Unmount };

// One record for the whole run.
struct Options {
  TAction Action = TAction::Copy;
  std::string InFile = "-";
  std::string OutFile = "-";
  int64_t BlockSize = 512;
  std::string BlockSizeText;  // unit letters of the block size; the progress line's unit
  int64_t Count = -1;         // -1: until the input ends
  int64_t Seek = 0;           // blocks while parsing, bytes once the copy starts
  int64_t Skip = 0;
  bool Progress = false;
  bool CheckSize = false;
  std::string Filter;
  std::vector<std::string> UnmountList;
  bool IsWin95 = false;
  bool Refused = false;  // an argument was refused: the run ends with status 1
};

// The trailing letters of a size number, in the order they stand.
std::string GetSuffix(const std::string& Text);

// A size number with its unit suffix. Invalid text, a value that does not fit in 64 bits
// and an unknown suffix ("Unknown suffix " message) all read as 0.
int64_t GetNumber(const std::string& Text);

// The same syntax read strictly: false, without a message, unless the whole text is a
// number with a known suffix whose value fits in 64 bits.
bool ParseSizeNumber(const std::string& Text, int64_t& Value);

// Applies one argument; bad arguments print their message, turn the action into Usage and
// set Refused.
void ParseArgument(const std::string& Argument, Options& Settings);

// The "--filter=" argument that a program file named mobri-<filter>.exe puts first;
// empty text for other names.
std::string FilterArgumentFromProgramName(const std::string& ProgramPath);

void PrintUsage();
