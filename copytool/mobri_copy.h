// The copy engine of mobri: inputs and outputs by kind of name, the block loop with its
// record counters, and the progress line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// Called with a system error code and the bytes written so far, before the first block and
// after every block; true asks the copy to stop after the current block. Final marks the one
// call after the last block, whose answer does not matter. An empty callback means no
// progress output.
using TProgressEvent = std::function<bool(DWORD ErrorCode, int64_t Total, bool Final)>;

// The largest block: the buffer length is 32-bit and signed.
constexpr int64_t MOBRI_MAX_BLOCK_SIZE = 0x7FFFFFFF;

// Copies Count blocks (-1: until the input ends) of BlockSize bytes (> 0) from InFile,
// starting Skip bytes in, to OutFile, starting Seek bytes in, and prints the records report.
// CheckSize stops reading at the end of an NT device input. True when the copy ran to its
// count or to the end of the input; false after a failure, which has its message.
bool CopyData(std::string InFile, std::string OutFile, bool CheckSize, TProgressEvent Progress,
              int64_t Seek, int64_t Skip, int64_t Count, int64_t BlockSize);

// The progress line: the amount copied in the unit of the block size, with the percentage
// of the whole when the count is known.
class TMobriProgress {
 public:
  int64_t BlockSize = 0;
  int64_t Count = 0;
  std::string UnitText;
  int64_t UnitSize = 0;
  // Standard output, or standard error when the data itself goes to standard output.
  DWORD Channel = STD_OUTPUT_HANDLE;

  // The unit letters as the size syntax reads them ("", "c", "w", "d", "q", "k", "M", "G").
  void SetUnit(const std::string& Text);
  // Redraws the line for Total at most ten times a second, and for the final Total unless
  // it is on the line already; never asks the copy to stop.
  bool ShowProgress(DWORD ErrorCode, int64_t Total, bool Final);
  // The text ShowProgress writes: carriage return, amount, unit, percentage, one space.
  std::string ProgressText(int64_t Total) const;

 private:
  bool Drawn = false;
  DWORD DrawnAt = 0;  // GetTickCount of the last redraw
  int64_t DrawnTotal = 0;
};
