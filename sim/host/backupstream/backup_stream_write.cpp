#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "backup_stream_context.h"
#include "backup_stream_emulation.h"

namespace backup_stream {
namespace {

// Streams applied as a whole are collected first; anything larger is not a valid one.
constexpr ULONGLONG kMaxSecuritySize = 1 << 20;
constexpr ULONGLONG kSparseOffsetSize = sizeof(LARGE_INTEGER);

enum class Phase { kHeader, kName, kData };

struct WriteContext : Context {
  WriteContext() : Context(Direction::kWrite) {}
  Phase phase = Phase::kHeader;
  BYTE header[kHeaderSize] = {};
  DWORD header_have = 0;
  DWORD id = 0;
  DWORD name_left = 0;
  ULONGLONG size = 0;
  ULONGLONG data_done = 0;  // bytes of the current stream's data consumed
  std::vector<BYTE> collected;
  ULONGLONG sparse_base = 0;
};

bool WriteFileAt(HANDLE file, ULONGLONG offset, const BYTE* data, DWORD count) {
  while (count > 0) {
    OVERLAPPED at = AtOffset(offset);
    DWORD put = 0;
    if (!WriteFile(file, data, count, &put, &at)) return false;
    if (put == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    offset += put;
    data += put;
    count -= put;
  }
  return true;
}

// The system checks a descriptor's revision but trusts its offsets; a damaged stream must not
// send it reading past the block.
bool SelfRelativeFits(const std::vector<BYTE>& sd) {
  SECURITY_DESCRIPTOR_RELATIVE head;
  if (sd.size() < sizeof(head)) return false;
  std::memcpy(&head, sd.data(), sizeof(head));
  if (!(head.Control & SE_SELF_RELATIVE)) return false;
  const size_t size = sd.size();
  for (DWORD at : {head.Owner, head.Group}) {
    if (at == 0) continue;
    if (at > size || size - at < 8) return false;
    if (size - at < 8 + 4u * sd[at + 1]) return false;  // SubAuthorityCount
  }
  const bool sacl = (head.Control & SE_SACL_PRESENT) != 0;
  const bool dacl = (head.Control & SE_DACL_PRESENT) != 0;
  for (DWORD at : {sacl ? head.Sacl : 0, dacl ? head.Dacl : 0}) {
    if (at == 0) continue;
    if (at > size || size - at < sizeof(ACL)) return false;
    ACL acl;
    std::memcpy(&acl, &sd[at], sizeof(acl));
    if (acl.AclSize < sizeof(ACL) || acl.AclSize > size - at) return false;
  }
  return true;
}

SECURITY_INFORMATION PartsOf(PSECURITY_DESCRIPTOR sd) {
  SECURITY_INFORMATION info = 0;
  PSID sid = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL acl = nullptr;
  if (GetSecurityDescriptorOwner(sd, &sid, &defaulted) && sid) info |= OWNER_SECURITY_INFORMATION;
  if (GetSecurityDescriptorGroup(sd, &sid, &defaulted) && sid) info |= GROUP_SECURITY_INFORMATION;
  if (GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) && present)
    info |= DACL_SECURITY_INFORMATION;
  if (GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted) && present)
    info |= SACL_SECURITY_INFORMATION;
  return info;
}

bool ApplySecurity(HANDLE file, std::vector<BYTE>& sd) {
  if (sd.empty()) return true;
  if (!SelfRelativeFits(sd) || !IsValidSecurityDescriptor(sd.data())) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  SECURITY_INFORMATION info = PartsOf(sd.data());
  if (info == 0) return true;
  if (SetKernelObjectSecurity(file, info, sd.data())) return true;
  // Without the right to set the audit list the rest of the descriptor still goes on.
  DWORD err = GetLastError();
  if ((info & SACL_SECURITY_INFORMATION) &&
      (err == ERROR_ACCESS_DENIED || err == ERROR_PRIVILEGE_NOT_HELD)) {
    info &= ~SACL_SECURITY_INFORMATION;
    if (info == 0 || SetKernelObjectSecurity(file, info, sd.data())) return true;
  }
  return false;
}

bool ApplyReparse(HANDLE file, std::vector<BYTE>& data) {
  if (data.empty()) return true;
  DWORD ignored = 0;
  return DeviceIoControl(file, FSCTL_SET_REPARSE_POINT, data.data(),
                         static_cast<DWORD>(data.size()), nullptr, 0, &ignored, nullptr) != FALSE;
}

bool IsCollected(const WriteContext& ctx, bool process_security) {
  return (ctx.id == BACKUP_SECURITY_DATA && process_security) || ctx.id == BACKUP_REPARSE_DATA;
}

// Called once the current stream's data is complete.
bool FinishStream(HANDLE file, WriteContext* ctx, bool process_security) {
  ctx->phase = Phase::kHeader;
  ctx->header_have = 0;
  std::vector<BYTE> collected;
  collected.swap(ctx->collected);
  if (ctx->id == BACKUP_SECURITY_DATA && process_security) return ApplySecurity(file, collected);
  if (ctx->id == BACKUP_REPARSE_DATA) return ApplyReparse(file, collected);
  return true;
}

bool StartStream(WriteContext* ctx, bool process_security) {
  WIN32_STREAM_ID h;
  std::memcpy(&h, ctx->header, kHeaderSize);
  ctx->id = h.dwStreamId;
  ctx->size = static_cast<ULONGLONG>(h.Size.QuadPart);
  ctx->name_left = h.dwStreamNameSize;
  ctx->data_done = 0;
  ctx->sparse_base = 0;
  ctx->collected.clear();
  const ULONGLONG limit =
      ctx->id == BACKUP_REPARSE_DATA ? MAXIMUM_REPARSE_DATA_BUFFER_SIZE : kMaxSecuritySize;
  if ((IsCollected(*ctx, process_security) && ctx->size > limit) ||
      (ctx->id == BACKUP_SPARSE_BLOCK && ctx->size < kSparseOffsetSize)) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  ctx->phase = ctx->name_left > 0 ? Phase::kName : Phase::kData;
  return true;
}

// Takes data bytes of the current stream.
bool ConsumeData(HANDLE file, WriteContext* ctx, bool process_security, const BYTE* data,
                 DWORD n) {
  if (ctx->id == BACKUP_DATA) {
    if (!WriteFileAt(file, ctx->data_done, data, n)) return false;
  } else if (ctx->id == BACKUP_SPARSE_BLOCK) {
    // The block starts with the file offset of the bytes that follow it.
    DWORD skip = 0;
    while (ctx->data_done + skip < kSparseOffsetSize && skip < n) {
      ctx->collected.push_back(data[skip]);
      ++skip;
    }
    if (ctx->data_done + skip == kSparseOffsetSize && skip > 0) {
      LARGE_INTEGER base;
      std::memcpy(&base, ctx->collected.data(), sizeof(base));
      ctx->sparse_base = static_cast<ULONGLONG>(base.QuadPart);
      ctx->collected.clear();
    }
    ULONGLONG offset = ctx->sparse_base + (ctx->data_done + skip - kSparseOffsetSize);
    if (skip < n && !WriteFileAt(file, offset, data + skip, n - skip)) return false;
  } else if (IsCollected(*ctx, process_security)) {
    ctx->collected.insert(ctx->collected.end(), data, data + n);
  }
  ctx->data_done += n;
  return true;
}

bool Consume(HANDLE file, WriteContext* ctx, bool process_security, const BYTE* in, DWORD count,
             DWORD* consumed) {
  DWORD used = 0;
  bool ok = true;
  while (ok) {
    // A stream ends as soon as its last byte is in, even one without data.
    if (ctx->phase == Phase::kData && ctx->data_done == ctx->size) {
      ok = FinishStream(file, ctx, process_security);
      continue;
    }
    if (used == count) break;
    DWORD n = count - used;
    if (ctx->phase == Phase::kHeader) {
      if (n > kHeaderSize - ctx->header_have) n = kHeaderSize - ctx->header_have;
      std::memcpy(ctx->header + ctx->header_have, in + used, n);
      ctx->header_have += n;
      used += n;
      if (ctx->header_have == kHeaderSize) ok = StartStream(ctx, process_security);
    } else if (ctx->phase == Phase::kName) {
      if (n > ctx->name_left) n = ctx->name_left;
      ctx->name_left -= n;
      used += n;
      if (ctx->name_left == 0) ctx->phase = Phase::kData;
    } else {
      if (n > ctx->size - ctx->data_done) n = static_cast<DWORD>(ctx->size - ctx->data_done);
      ok = ConsumeData(file, ctx, process_security, in + used, n);
      if (ok) used += n;
    }
  }
  *consumed = used;
  return ok;
}

}  // namespace
}  // namespace backup_stream

BOOL WINAPI EmulatedBackupWrite(HANDLE file, LPBYTE buffer, DWORD to_write, LPDWORD written,
                                BOOL abort, BOOL process_security, LPVOID* context) {
  using namespace backup_stream;
  Context* base = nullptr;
  Start start = BeginCall(buffer, to_write, written, abort, context, Direction::kWrite, &base);
  if (start != Start::kProceed) return start == Start::kReturnTrue;
  auto ctx = static_cast<WriteContext*>(base);
  if (!ctx) {
    ctx = new WriteContext;
    *context = ctx;
  }
  DWORD consumed = 0;
  BOOL ok = Consume(file, ctx, process_security != FALSE, buffer, to_write, &consumed);
  *written = consumed;
  return ok;
}
