// Calls of 16-bit library routines from this 32-bit program: the arguments become 16-bit
// words, and memory they point to is copied into 16-bit memory and back after the call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Win95Entries.h"

class EThunkError : public EMobriError {
 public:
  explicit EThunkError(const std::string& Message) : EMobriError(Message) {}
  const char* Kind() const override { return "EThunkError"; }
};

class EInvalidArgument : public EMobriError {
 public:
  explicit EInvalidArgument(const std::string& Message) : EMobriError(Message) {}
  const char* Kind() const override { return "EInvalidArgument"; }
};

// One argument: a number (integer, boolean or character) or the caller's memory, which
// the routine receives as a far pointer to a copy of it.
struct TThunkValue {
  enum TType { Number, Pointer } Type;
  uint32_t Value;
  void* Memory;
  static TThunkValue Int(uint32_t Value) { return {Number, Value, nullptr}; }
  static TThunkValue Ptr(void* Memory) { return {Pointer, 0, Memory}; }
};

// The thunk argument area's limits.
constexpr DWORD THUNK_AREA_BYTES = 1024;
constexpr int THUNK_MAX_POINTERS = 10;

// Calls routine Name of the 16-bit library Module with Values, each pushed as Sizes says
// (for a number: 1 a word of its low byte, 4 two words high first, else one word; for a
// pointer: the bytes copied there and back). ReverseOrder pushes the last value first.
// Answers DX:AX. Raises EInvalidArgument or EThunkError.
int32_t Call16BitRoutine(const std::string& Name, WORD Module, bool ReverseOrder,
                         const std::vector<TThunkValue>& Values,
                         const std::vector<uint32_t>& Sizes);
