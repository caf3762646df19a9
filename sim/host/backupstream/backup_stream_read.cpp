#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "backup_stream_context.h"
#include "backup_stream_emulation.h"

namespace backup_stream {
namespace {

// One stream to hand out: its header, then data either kept here or read from the file.
struct OutStream {
  BYTE header[kHeaderSize] = {};
  std::vector<BYTE> inline_data;
  bool from_file = false;
  ULONGLONG data_size = 0;

  ULONGLONG total() const { return kHeaderSize + data_size; }
};

struct ReadContext : Context {
  ReadContext() : Context(Direction::kRead) {}
  std::vector<OutStream> streams;
  size_t index = 0;
  ULONGLONG position = 0;  // within the current stream, header included
};

OutStream MakeStream(DWORD id, DWORD attributes, ULONGLONG size) {
  OutStream s;
  WIN32_STREAM_ID h = {};
  h.dwStreamId = id;
  h.dwStreamAttributes = attributes;
  h.Size.QuadPart = static_cast<LONGLONG>(size);
  h.dwStreamNameSize = 0;
  std::memcpy(s.header, &h, kHeaderSize);
  s.data_size = size;
  return s;
}

// Self-relative descriptor of the open file. A handle without ACCESS_SYSTEM_SECURITY gets the
// descriptor without its audit list; one without READ_CONTROL gets no security stream at all.
bool ReadSecurity(HANDLE file, std::vector<BYTE>* sd, bool* present) {
  const SECURITY_INFORMATION with_sacl = OWNER_SECURITY_INFORMATION |
                                         GROUP_SECURITY_INFORMATION |
                                         DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  for (SECURITY_INFORMATION info : {with_sacl, with_sacl & ~SACL_SECURITY_INFORMATION}) {
    DWORD needed = 0;
    sd->assign(256, 0);
    BOOL ok = GetKernelObjectSecurity(file, info, sd->data(), static_cast<DWORD>(sd->size()),
                                      &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      sd->assign(needed, 0);
      ok = GetKernelObjectSecurity(file, info, sd->data(), needed, &needed);
    }
    if (ok) {
      sd->resize(GetSecurityDescriptorLength(sd->data()));
      *present = true;
      return true;
    }
    DWORD err = GetLastError();
    if (err != ERROR_ACCESS_DENIED && err != ERROR_PRIVILEGE_NOT_HELD) return false;
  }
  *present = false;
  return true;
}

bool ReadReparseData(HANDLE file, std::vector<BYTE>* data) {
  data->assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
  DWORD got = 0;
  if (!DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, data->data(),
                       static_cast<DWORD>(data->size()), &got, nullptr))
    return false;
  data->resize(got);
  return true;
}

// Decides the streams of the file once, on the first call.
bool PlanStreams(HANDLE file, bool process_security, ReadContext* ctx) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info)) return false;
  const bool is_dir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool is_reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const ULONGLONG size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;

  // A directory has no content; a reparse point usually has none besides its reparse data.
  if (!is_dir && (!is_reparse || size > 0)) {
    OutStream data = MakeStream(BACKUP_DATA, STREAM_NORMAL_ATTRIBUTE, size);
    data.from_file = true;
    ctx->streams.push_back(std::move(data));
  }
  if (process_security) {
    std::vector<BYTE> sd;
    bool present = false;
    if (!ReadSecurity(file, &sd, &present)) return false;
    if (present) {
      OutStream s = MakeStream(BACKUP_SECURITY_DATA, STREAM_CONTAINS_SECURITY, sd.size());
      s.inline_data = std::move(sd);
      ctx->streams.push_back(std::move(s));
    }
  }
  if (is_reparse) {
    std::vector<BYTE> reparse;
    if (!ReadReparseData(file, &reparse)) return false;
    OutStream s = MakeStream(BACKUP_REPARSE_DATA, STREAM_NORMAL_ATTRIBUTE, reparse.size());
    s.inline_data = std::move(reparse);
    ctx->streams.push_back(std::move(s));
  }
  return true;
}

bool ReadFileAt(HANDLE file, ULONGLONG offset, BYTE* out, DWORD count) {
  while (count > 0) {
    OVERLAPPED at = AtOffset(offset);
    DWORD got = 0;
    if (!ReadFile(file, out, count, &got, &at)) return false;
    if (got == 0) {
      // The file shrank after its size went into the header: the stream cannot be completed.
      SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    offset += got;
    out += got;
    count -= got;
  }
  return true;
}

// Copies the next bytes of the current stream; never crosses into the next stream.
bool ReadStreamBytes(HANDLE file, ReadContext* ctx, BYTE* out, DWORD room, DWORD* produced) {
  const OutStream& s = ctx->streams[ctx->index];
  ULONGLONG pos = ctx->position;
  DWORD done = 0;
  while (done < room && pos < s.total()) {
    ULONGLONG left_in_stream = s.total() - pos;
    DWORD n = room - done;
    if (n > left_in_stream) n = static_cast<DWORD>(left_in_stream);
    if (pos < kHeaderSize) {
      if (n > kHeaderSize - pos) n = static_cast<DWORD>(kHeaderSize - pos);
      std::memcpy(out + done, s.header + pos, n);
    } else if (s.from_file) {
      if (!ReadFileAt(file, pos - kHeaderSize, out + done, n)) return false;
    } else {
      std::memcpy(out + done, s.inline_data.data() + (pos - kHeaderSize), n);
    }
    pos += n;
    done += n;
  }
  ctx->position = pos;
  if (pos == s.total()) {
    ++ctx->index;
    ctx->position = 0;
  }
  *produced = done;
  return true;
}

}  // namespace
}  // namespace backup_stream

BOOL WINAPI EmulatedBackupRead(HANDLE file, LPBYTE buffer, DWORD to_read, LPDWORD read,
                               BOOL abort, BOOL process_security, LPVOID* context) {
  using namespace backup_stream;
  Context* base = nullptr;
  Start start = BeginCall(buffer, to_read, read, abort, context, Direction::kRead, &base);
  if (start != Start::kProceed) return start == Start::kReturnTrue;
  auto ctx = static_cast<ReadContext*>(base);
  if (!ctx) {
    auto fresh = new ReadContext;
    if (!PlanStreams(file, process_security != FALSE, fresh)) {
      DWORD err = GetLastError();
      delete fresh;
      SetLastError(err);
      return FALSE;
    }
    ctx = fresh;
    *context = ctx;
  }
  if (ctx->index >= ctx->streams.size()) return TRUE;
  DWORD produced = 0;
  if (!ReadStreamBytes(file, ctx, buffer, to_read, &produced)) return FALSE;
  *read = produced;
  return TRUE;
}
