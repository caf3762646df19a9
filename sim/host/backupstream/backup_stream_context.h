#pragma once
// State kept behind the caller's context pointer between calls.
#include <windows.h>

#include <cstddef>

namespace backup_stream {

// Bytes of a stream header before its name: id, attributes, 64-bit size, name size.
constexpr DWORD kHeaderSize = offsetof(WIN32_STREAM_ID, cStreamName);
static_assert(kHeaderSize == 20, "stream header layout");

enum class Direction { kRead, kWrite };

struct Context {
  explicit Context(Direction d);
  virtual ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Guards against a pointer that is not one of ours (or was already released).
  static constexpr DWORD kMagic = 0x5342544d;
  DWORD magic = kMagic;
  Direction direction;
};

// Explicit offsets keep the stream independent of where the file pointer stands.
inline OVERLAPPED AtOffset(ULONGLONG offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

enum class Start { kReturnTrue, kReturnFalse, kProceed };

// The common start of both calls: an abort releases whatever context the caller holds (of
// either direction); unsafe arguments, a foreign context or one of the other direction fail
// with ERROR_INVALID_PARAMETER; an empty buffer takes nothing. On kProceed `*out` is the
// caller's context, null when none was started yet.
Start BeginCall(LPBYTE buffer, DWORD size, LPDWORD done, BOOL abort, LPVOID* context,
                Direction direction, Context** out);

}  // namespace backup_stream
