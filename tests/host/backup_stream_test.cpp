#include <windows.h>
#include <winioctl.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../support/test_folders.h"
#include "backup_stream_emulation.h"
#include "import_patch.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Stream {
  DWORD id = 0;
  DWORD attributes = 0;
  ULONGLONG size = 0;
  std::wstring name;
  Bytes data;
};

DWORD Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }

void PutLe32(Bytes* out, DWORD v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<BYTE>(v >> (8 * i)));
}

// Decodes a stream by the byte offsets of the documented header, independent of any struct.
std::vector<Stream> Parse(const Bytes& raw) {
  std::vector<Stream> out;
  size_t at = 0;
  while (at < raw.size()) {
    Stream s;
    EXPECT_LE(at + 20, raw.size()) << "truncated header";
    if (at + 20 > raw.size()) break;
    s.id = Le32(&raw[at]);
    s.attributes = Le32(&raw[at + 4]);
    s.size = Le32(&raw[at + 8]) | static_cast<ULONGLONG>(Le32(&raw[at + 12])) << 32;
    DWORD name_size = Le32(&raw[at + 16]);
    at += 20;
    EXPECT_LE(at + name_size + s.size, raw.size()) << "truncated stream";
    if (at + name_size + s.size > raw.size()) break;
    s.name.assign(reinterpret_cast<const wchar_t*>(&raw[at]), name_size / 2);
    at += name_size;
    s.data.assign(raw.begin() + at, raw.begin() + at + s.size);
    at += s.size;
    out.push_back(s);
  }
  return out;
}

Bytes Encode(DWORD id, const Bytes& data, const std::wstring& name = L"", DWORD attributes = 0) {
  Bytes out;
  PutLe32(&out, id);
  PutLe32(&out, attributes);
  PutLe32(&out, static_cast<DWORD>(data.size()));
  PutLe32(&out, 0);
  PutLe32(&out, static_cast<DWORD>(name.size() * 2));
  auto n = reinterpret_cast<const BYTE*>(name.data());
  out.insert(out.end(), n, n + name.size() * 2);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Pattern(size_t n, unsigned seed = 1) {
  Bytes b(n);
  unsigned x = seed;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<BYTE>(x >> 16);
  }
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class BackupStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, tmp), 0u);
    dir_ = std::wstring(tmp) + L"backup_stream_test_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
  }

  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    RemoveTree(dir_);
    EXPECT_EQ(EmulatedBackupLiveContexts(), 0u);
  }

  std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }

  std::wstring MakeFile(const wchar_t* name, const Bytes& content) {
    std::wstring path = Path(name);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    if (!content.empty()) {
      EXPECT_TRUE(WriteFile(h, content.data(), content.size(), &put, nullptr));
    }
    CloseHandle(h);
    return path;
  }

  static Bytes Contents(const std::wstring& path) {
    Bytes out;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    BYTE buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0)
      out.insert(out.end(), buf, buf + got);
    CloseHandle(h);
    return out;
  }

  // Opened the way a backup opens its source.
  HANDLE OpenForBackup(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL | ACCESS_SYSTEM_SECURITY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS |
                               FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    handles_.push_back(h);
    return h;
  }

  // Opened the way a restore opens its destination file.
  HANDLE CreateForRestore(const std::wstring& path, DWORD disposition = CREATE_ALWAYS) {
    HANDLE h = CreateFileW(path.c_str(),
                           GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY, 0,
                           nullptr, disposition, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    handles_.push_back(h);
    return h;
  }

  void Close(HANDLE h) {
    CloseHandle(h);
    handles_.erase(std::find(handles_.begin(), handles_.end(), h));
  }

  // The whole stream of `file` taken in pieces of `piece` bytes, context released at the end.
  static Bytes ReadAll(HANDLE file, DWORD piece, BOOL security = TRUE) {
    Bytes out;
    Bytes buf(piece);
    void* ctx = nullptr;
    for (int guard = 0; guard < 10000000; ++guard) {
      DWORD got = 12345;
      BOOL ok = EmulatedBackupRead(file, buf.data(), piece, &got, FALSE, security, &ctx);
      EXPECT_TRUE(ok) << GetLastError();
      if (!ok || got == 0) break;
      EXPECT_LE(got, piece);
      out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
    DWORD got = 0;
    EXPECT_TRUE(EmulatedBackupRead(file, nullptr, 0, &got, TRUE, security, &ctx));
    EXPECT_EQ(ctx, nullptr);
    return out;
  }

  // Feeds `stream` in pieces cycling through `pieces`; answers the last failure's error or 0.
  static DWORD WriteAll(HANDLE file, const Bytes& stream, std::vector<DWORD> pieces,
                        BOOL security = TRUE) {
    void* ctx = nullptr;
    size_t at = 0, turn = 0;
    DWORD error = 0;
    while (at < stream.size()) {
      DWORD n = pieces[turn++ % pieces.size()];
      if (n > stream.size() - at) n = static_cast<DWORD>(stream.size() - at);
      DWORD put = 0;
      Bytes piece(stream.begin() + at, stream.begin() + at + n);
      if (!EmulatedBackupWrite(file, piece.data(), n, &put, FALSE, security, &ctx)) {
        error = GetLastError();
        break;
      }
      EXPECT_EQ(put, n);
      at += n;
    }
    DWORD put = 0;
    EXPECT_TRUE(EmulatedBackupWrite(file, nullptr, 0, &put, TRUE, security, &ctx));
    EXPECT_EQ(ctx, nullptr);
    return error;
  }

  std::wstring dir_;
  std::vector<HANDLE> handles_;
};

// ---- BackupRead ----

using BackupReadTest = BackupStreamTest;

TEST_F(BackupReadTest, FileStreamIsTheSameWhateverThePieceSize) {
  HANDLE h = OpenForBackup(MakeFile(L"a.bin", Pattern(5000)));
  Bytes whole = ReadAll(h, 65536);
  ASSERT_FALSE(whole.empty());
  for (DWORD piece : {1u, 7u, 20u, 21u, 4096u}) {
    EXPECT_EQ(ReadAll(h, piece), whole) << piece;
  }
}

TEST_F(BackupReadTest, FileGivesDataThenSecurityWithExactHeaders) {
  Bytes content = Pattern(10000);
  HANDLE h = OpenForBackup(MakeFile(L"a.bin", content));
  std::vector<Stream> streams = Parse(ReadAll(h, 4096));
  ASSERT_EQ(streams.size(), 2u);

  EXPECT_EQ(streams[0].id, static_cast<DWORD>(BACKUP_DATA));
  EXPECT_EQ(streams[0].attributes, static_cast<DWORD>(STREAM_NORMAL_ATTRIBUTE));
  EXPECT_EQ(streams[0].size, content.size());
  EXPECT_TRUE(streams[0].name.empty());
  EXPECT_EQ(streams[0].data, content);

  EXPECT_EQ(streams[1].id, static_cast<DWORD>(BACKUP_SECURITY_DATA));
  EXPECT_EQ(streams[1].attributes, static_cast<DWORD>(STREAM_CONTAINS_SECURITY));
  ASSERT_TRUE(IsValidSecurityDescriptor(streams[1].data.data()));
  EXPECT_EQ(GetSecurityDescriptorLength(streams[1].data.data()), streams[1].size);
}

TEST_F(BackupReadTest, EmptyFileWithoutSecurityIsOneEmptyDataStream) {
  HANDLE h = OpenForBackup(MakeFile(L"empty.bin", {}));
  std::vector<Stream> streams = Parse(ReadAll(h, 4096, FALSE));
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].id, static_cast<DWORD>(BACKUP_DATA));
  EXPECT_EQ(streams[0].size, 0u);
}

TEST_F(BackupReadTest, DirectoryGivesSecurityOnly) {
  std::wstring sub = Path(L"sub");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  HANDLE h = OpenForBackup(sub);
  std::vector<Stream> streams = Parse(ReadAll(h, 4096));
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].id, static_cast<DWORD>(BACKUP_SECURITY_DATA));
  EXPECT_TRUE(ReadAll(h, 4096, FALSE).empty());
}

TEST_F(BackupReadTest, CallsStopAtStreamEndsAndAnswerZeroPastTheLast) {
  HANDLE h = OpenForBackup(MakeFile(L"a.bin", Pattern(100)));
  BYTE buf[4096];
  DWORD got = 0;
  void* ctx = nullptr;
  ASSERT_TRUE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, TRUE, &ctx));
  EXPECT_EQ(got, 120u);
  ASSERT_TRUE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, TRUE, &ctx));
  EXPECT_EQ(Le32(buf), static_cast<DWORD>(BACKUP_SECURITY_DATA));
  for (int i = 0; i < 3; ++i) {
    got = 99;
    ASSERT_TRUE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, TRUE, &ctx));
    EXPECT_EQ(got, 0u);
  }
  EXPECT_NE(ctx, nullptr);  // held until the caller aborts
  EXPECT_TRUE(EmulatedBackupRead(h, nullptr, 0, &got, TRUE, TRUE, &ctx));
}

TEST_F(BackupReadTest, ZeroByteBufferTakesNothingFromTheStream) {
  Bytes content = Pattern(50);
  HANDLE h = OpenForBackup(MakeFile(L"a.bin", content));
  void* ctx = nullptr;
  DWORD got = 77;
  BYTE buf[128];
  ASSERT_TRUE(EmulatedBackupRead(h, buf, 0, &got, FALSE, FALSE, &ctx));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, FALSE, &ctx));
  ASSERT_EQ(got, 70u);
  EXPECT_EQ(Le32(buf), static_cast<DWORD>(BACKUP_DATA));
  EXPECT_TRUE(EmulatedBackupRead(h, nullptr, 0, &got, TRUE, FALSE, &ctx));
}

TEST_F(BackupReadTest, AbortMidwayReleasesTheContext) {
  HANDLE h = OpenForBackup(MakeFile(L"a.bin", Pattern(5000)));
  void* ctx = nullptr;
  DWORD got = 0;
  BYTE buf[7];
  ASSERT_TRUE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, TRUE, &ctx));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(EmulatedBackupLiveContexts(), 1u);
  EXPECT_TRUE(EmulatedBackupRead(h, nullptr, 0, &got, TRUE, TRUE, &ctx));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(EmulatedBackupLiveContexts(), 0u);
  // Aborting with nothing started is harmless, and a fresh read starts from the top.
  EXPECT_TRUE(EmulatedBackupRead(h, nullptr, 0, &got, TRUE, TRUE, &ctx));
  EXPECT_EQ(Parse(ReadAll(h, 4096))[0].data, Pattern(5000));
}

TEST_F(BackupReadTest, RefusesUnsafeArgumentsWithoutStartingAContext) {
  HANDLE h = OpenForBackup(MakeFile(L"a.bin", Pattern(50)));
  BYTE buf[64];
  DWORD got = 0;
  void* ctx = nullptr;
  EXPECT_FALSE(EmulatedBackupRead(h, buf, sizeof(buf), nullptr, FALSE, TRUE, &ctx));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(EmulatedBackupRead(h, nullptr, 10, &got, FALSE, TRUE, &ctx));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(EmulatedBackupRead(INVALID_HANDLE_VALUE, buf, sizeof(buf), &got, FALSE, TRUE, &ctx));
  EXPECT_EQ(ctx, nullptr);

  // A context of the other direction is not taken for one of this one.
  ASSERT_TRUE(EmulatedBackupWrite(h, buf, 3, &got, FALSE, TRUE, &ctx));
  EXPECT_FALSE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, TRUE, &ctx));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Either call releases either kind, so a caller that picks the wrong one leaks nothing.
  EXPECT_TRUE(EmulatedBackupRead(h, nullptr, 0, &got, TRUE, TRUE, &ctx));
  EXPECT_EQ(EmulatedBackupLiveContexts(), 0u);
}

TEST_F(BackupReadTest, FileThatShrinksWhileReadFailsInsteadOfPadding) {
  std::wstring path = MakeFile(L"a.bin", Pattern(10000));
  HANDLE h = OpenForBackup(path);
  void* ctx = nullptr;
  DWORD got = 0;
  BYTE buf[100];
  ASSERT_TRUE(EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, FALSE, &ctx));
  HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at;
  at.QuadPart = 500;
  SetFilePointerEx(other, at, nullptr, FILE_BEGIN);
  SetEndOfFile(other);
  CloseHandle(other);
  BOOL ok = TRUE;
  for (int i = 0; i < 200 && ok && got > 0; ++i)
    ok = EmulatedBackupRead(h, buf, sizeof(buf), &got, FALSE, FALSE, &ctx);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_TRUE(EmulatedBackupRead(h, nullptr, 0, &got, TRUE, FALSE, &ctx));
}

// ---- BackupWrite ----

using BackupWriteTest = BackupStreamTest;

TEST_F(BackupWriteTest, RecreatesTheFileFromPiecesOfAnySize) {
  Bytes content = Pattern(5000, 7);
  Bytes stream = Encode(BACKUP_DATA, content);
  // 1, 3 and 17 bytes cut the 20-byte header at every kind of place.
  for (std::vector<DWORD> pieces : std::vector<std::vector<DWORD>>{
           {1}, {3}, {17}, {19, 2, 5000}, {20}, {21}, {65536}}) {
    std::wstring path = Path(L"out.bin");
    HANDLE h = CreateForRestore(path);
    EXPECT_EQ(WriteAll(h, stream, pieces), 0u);
    Close(h);
    EXPECT_EQ(Contents(path), content) << pieces[0];
  }
}

TEST_F(BackupWriteTest, SkipsUnknownAndNamedStreams) {
  Bytes content = Pattern(3000, 3);
  Bytes stream = Concat({Encode(0x77, Pattern(100, 9), L"odd"),
                         Encode(BACKUP_ALTERNATE_DATA, Pattern(40, 5), L":side:$DATA"),
                         Encode(BACKUP_DATA, content), Encode(BACKUP_OBJECT_ID, Pattern(64))});
  std::wstring path = Path(L"out.bin");
  HANDLE h = CreateForRestore(path);
  EXPECT_EQ(WriteAll(h, stream, {5}), 0u);
  Close(h);
  EXPECT_EQ(Contents(path), content);
}

TEST_F(BackupWriteTest, SparseBlocksLandAtTheirOffsets) {
  Bytes first = Pattern(100, 1), second = Pattern(50, 2);
  auto block = [](LONGLONG offset, const Bytes& data) {
    Bytes b(8);
    std::memcpy(b.data(), &offset, 8);
    b.insert(b.end(), data.begin(), data.end());
    return Encode(BACKUP_SPARSE_BLOCK, b, L"", STREAM_SPARSE_ATTRIBUTE);
  };
  Bytes stream = Concat({Encode(BACKUP_DATA, {}), block(0, first), block(4096, second)});
  std::wstring path = Path(L"sparse.bin");
  HANDLE h = CreateForRestore(path);
  EXPECT_EQ(WriteAll(h, stream, {3}), 0u);
  Close(h);
  Bytes expected(4096 + 50, 0);
  std::copy(first.begin(), first.end(), expected.begin());
  std::copy(second.begin(), second.end(), expected.begin() + 4096);
  EXPECT_EQ(Contents(path), expected);
}

TEST_F(BackupWriteTest, ZeroBytesAndAbortLeaveNothingBehind) {
  std::wstring path = Path(L"out.bin");
  HANDLE h = CreateForRestore(path);
  void* ctx = nullptr;
  DWORD put = 5;
  BYTE none = 0;
  ASSERT_TRUE(EmulatedBackupWrite(h, &none, 0, &put, FALSE, TRUE, &ctx));
  EXPECT_EQ(put, 0u);
  Bytes stream = Encode(BACKUP_DATA, Pattern(100));
  ASSERT_TRUE(EmulatedBackupWrite(h, stream.data(), 30, &put, FALSE, TRUE, &ctx));
  EXPECT_EQ(put, 30u);
  EXPECT_EQ(EmulatedBackupLiveContexts(), 1u);
  EXPECT_TRUE(EmulatedBackupWrite(h, nullptr, 0, &put, TRUE, TRUE, &ctx));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(EmulatedBackupLiveContexts(), 0u);
}

TEST_F(BackupWriteTest, MalformedStreamsAreRefused) {
  HANDLE h = CreateForRestore(Path(L"out.bin"));
  Bytes huge_security = Encode(BACKUP_SECURITY_DATA, {});
  huge_security[12] = 1;  // 4 GiB of descriptor
  EXPECT_EQ(WriteAll(h, huge_security, {64}), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(WriteAll(h, Encode(BACKUP_SPARSE_BLOCK, Bytes(4)), {64}),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(WriteAll(h, Encode(BACKUP_SECURITY_DATA, Pattern(40)), {64}),
            static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  // Revision and flags fine, but the owner lies far past the end of the block.
  Bytes lying = {SECURITY_DESCRIPTOR_REVISION, 0, 0, 0x80};  // SE_SELF_RELATIVE
  PutLe32(&lying, 0x10000);
  lying.resize(20 + 12, 0);
  EXPECT_EQ(WriteAll(h, Encode(BACKUP_SECURITY_DATA, lying), {64}),
            static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

// ---- Security descriptors ----

std::wstring DaclText(const std::wstring& path) {
  BYTE sd[4096];
  DWORD needed = 0;
  if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd, sizeof(sd), &needed))
    return L"<unreadable>";
  PSECURITY_DESCRIPTOR sdp = sd;
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sdp, SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, &text,
                                                            nullptr))
    return L"<unconvertible>";
  std::wstring out = text;
  LocalFree(text);
  return out;
}

class SecurityStreamTest : public BackupStreamTest {
 protected:
  void SetUp() override {
    BackupStreamTest::SetUp();
    source_ = MakeFile(L"src.bin", Pattern(64));
    Restrict(source_);
    target_ = Path(L"dst.bin");
  }

  // Only the system may touch it: a descriptor no new file or directory starts with.
  static void Restrict(const std::wstring& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)",
                                                                     SDDL_REVISION_1, &sd, nullptr));
    ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd));
    LocalFree(sd);
  }

  std::wstring source_, target_;
};

TEST_F(SecurityStreamTest, DescriptorTravelsFromSourceToTarget) {
  Bytes stream = ReadAll(OpenForBackup(source_), 4096);
  HANDLE dst = CreateForRestore(target_);
  ASSERT_NE(DaclText(target_), DaclText(source_));
  EXPECT_EQ(WriteAll(dst, stream, {3, 11}), 0u);
  Close(dst);
  EXPECT_EQ(DaclText(target_), DaclText(source_));
  EXPECT_EQ(Contents(target_), Pattern(64));
}

TEST_F(SecurityStreamTest, DescriptorIsLeftOutWhenTheWriterDoesNotProcessSecurity) {
  Bytes stream = ReadAll(OpenForBackup(source_), 4096);
  HANDLE dst = CreateForRestore(target_);
  std::wstring before = DaclText(target_);
  EXPECT_EQ(WriteAll(dst, stream, {4096}, FALSE), 0u);
  Close(dst);
  EXPECT_EQ(DaclText(target_), before);
  EXPECT_EQ(Contents(target_), Pattern(64));
}

TEST_F(SecurityStreamTest, DirectoryDescriptorTravelsToo) {
  std::wstring src_dir = Path(L"src"), dst_dir = Path(L"dst");
  ASSERT_TRUE(CreateDirectoryW(src_dir.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(dst_dir.c_str(), nullptr));
  Restrict(src_dir);
  Bytes stream = ReadAll(OpenForBackup(src_dir), 4096);
  HANDLE dst = CreateForRestore(dst_dir, OPEN_EXISTING);
  EXPECT_EQ(WriteAll(dst, stream, {7}), 0u);
  Close(dst);
  EXPECT_EQ(DaclText(dst_dir), DaclText(src_dir));
}

// ---- Reparse points ----
// Wine keeps no reparse data (FSCTL_GET_REPARSE_POINT answers 4390, FSCTL_SET_REPARSE_POINT 50),
// so the file system's side is played by replacing the exe's imports of it.

Bytes g_reparse_blob;
Bytes g_reparse_set;
decltype(&GetFileInformationByHandle) g_real_file_info = nullptr;
decltype(&DeviceIoControl) g_real_ioctl = nullptr;

BOOL WINAPI FakeFileInfo(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
  if (!g_real_file_info(h, info)) return FALSE;
  info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return TRUE;
}

BOOL WINAPI FakeIoctl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                      LPDWORD returned, LPOVERLAPPED ov) {
  if (code == FSCTL_GET_REPARSE_POINT) {
    if (out_size < g_reparse_blob.size()) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(out, g_reparse_blob.data(), g_reparse_blob.size());
    *returned = static_cast<DWORD>(g_reparse_blob.size());
    return TRUE;
  }
  if (code == FSCTL_SET_REPARSE_POINT) {
    auto p = static_cast<const BYTE*>(in);
    g_reparse_set.assign(p, p + in_size);
    return TRUE;
  }
  return g_real_ioctl(h, code, in, in_size, out, out_size, returned, ov);
}

class ReparseStreamTest : public BackupStreamTest {
 protected:
  void SetUp() override {
    BackupStreamTest::SetUp();
    g_reparse_blob = Pattern(60, 4);
    g_reparse_set.clear();
    HMODULE self = GetModuleHandleA(nullptr);
    g_real_file_info = reinterpret_cast<decltype(g_real_file_info)>(ReplaceImport(
        self, "kernel32.dll", "GetFileInformationByHandle", reinterpret_cast<void*>(&FakeFileInfo)));
    g_real_ioctl = reinterpret_cast<decltype(g_real_ioctl)>(
        ReplaceImport(self, "kernel32.dll", "DeviceIoControl", reinterpret_cast<void*>(&FakeIoctl)));
    ASSERT_NE(g_real_file_info, nullptr);
    ASSERT_NE(g_real_ioctl, nullptr);
  }
  void TearDown() override {
    HMODULE self = GetModuleHandleA(nullptr);
    if (g_real_file_info) {
      ReplaceImport(self, "kernel32.dll", "GetFileInformationByHandle",
                    reinterpret_cast<void*>(g_real_file_info));
    }
    if (g_real_ioctl) {
      ReplaceImport(self, "kernel32.dll", "DeviceIoControl", reinterpret_cast<void*>(g_real_ioctl));
    }
    BackupStreamTest::TearDown();
  }
};

TEST_F(ReparseStreamTest, ReparsePointGivesSecurityAndReparseDataButNoContent) {
  std::wstring link = Path(L"link");
  ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
  std::vector<Stream> streams = Parse(ReadAll(OpenForBackup(link), 7));
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].id, static_cast<DWORD>(BACKUP_SECURITY_DATA));
  EXPECT_EQ(streams[1].id, static_cast<DWORD>(BACKUP_REPARSE_DATA));
  EXPECT_EQ(streams[1].data, g_reparse_blob);
}

TEST_F(ReparseStreamTest, ReparseDataIsSetOnceItsStreamIsComplete) {
  std::wstring link = Path(L"link");
  ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
  HANDLE h = CreateForRestore(link, OPEN_EXISTING);
  Bytes stream = Encode(BACKUP_REPARSE_DATA, g_reparse_blob);
  void* ctx = nullptr;
  DWORD put = 0;
  ASSERT_TRUE(EmulatedBackupWrite(h, stream.data(), stream.size() - 1, &put, FALSE, TRUE, &ctx));
  EXPECT_TRUE(g_reparse_set.empty());
  ASSERT_TRUE(EmulatedBackupWrite(h, &stream.back(), 1, &put, FALSE, TRUE, &ctx));
  EXPECT_EQ(g_reparse_set, g_reparse_blob);
  EXPECT_TRUE(EmulatedBackupWrite(h, nullptr, 0, &put, TRUE, TRUE, &ctx));
}

TEST_F(BackupWriteTest, ReparseDataTheSystemRefusesFailsTheWrite) {
  // Wine itself refuses to set reparse data: the caller must hear of it.
  std::wstring link = Path(L"link");
  ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
  HANDLE h = CreateForRestore(link, OPEN_EXISTING);
  EXPECT_NE(WriteAll(h, Encode(BACKUP_REPARSE_DATA, Pattern(60)), {4096}), 0u);
}

// ---- Installation ----

// Calls through the exe's own import slots, looked up afresh on each call.
__attribute__((noipa)) BOOL SystemBackupRead(HANDLE h, BYTE* b, DWORD n, DWORD* got, BOOL abort,
                                             void** ctx) {
  return BackupRead(h, b, n, got, abort, TRUE, ctx);
}
__attribute__((noipa)) BOOL SystemBackupWrite(HANDLE h, BYTE* b, DWORD n, DWORD* put, BOOL abort,
                                              void** ctx) {
  return BackupWrite(h, b, n, put, abort, TRUE, ctx);
}

class InstallTest : public BackupStreamTest {
 protected:
  void TearDown() override {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    ReplaceImport(GetModuleHandleA(nullptr), "kernel32.dll", "BackupRead",
                  reinterpret_cast<void*>(GetProcAddress(k32, "BackupRead")));
    ReplaceImport(GetModuleHandleA(nullptr), "kernel32.dll", "BackupWrite",
                  reinterpret_cast<void*>(GetProcAddress(k32, "BackupWrite")));
    BackupStreamTest::TearDown();
  }
};

TEST_F(InstallTest, ExeCallsReachTheEmulationOnceInstalled) {
  ASSERT_TRUE(RunningUnderWine());
  Bytes content = Pattern(700);
  HANDLE src = OpenForBackup(MakeFile(L"src.bin", content));
  BYTE buf[4096];
  DWORD got = 0;
  void* ctx = nullptr;
  // What the system itself answers here is why the emulation exists.
  EXPECT_FALSE(SystemBackupRead(src, buf, sizeof(buf), &got, FALSE, &ctx));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  ASSERT_TRUE(InstallBackupStreamEmulation(GetModuleHandleA(nullptr)));
  Bytes stream;
  while (SystemBackupRead(src, buf, sizeof(buf), &got, FALSE, &ctx) && got > 0)
    stream.insert(stream.end(), buf, buf + got);
  EXPECT_TRUE(SystemBackupRead(src, nullptr, 0, &got, TRUE, &ctx));

  std::wstring path = Path(L"dst.bin");
  HANDLE dst = CreateForRestore(path);
  DWORD put = 0;
  EXPECT_TRUE(SystemBackupWrite(dst, stream.data(), stream.size(), &put, FALSE, &ctx));
  EXPECT_EQ(put, stream.size());
  EXPECT_TRUE(SystemBackupWrite(dst, nullptr, 0, &put, TRUE, &ctx));
  Close(dst);
  EXPECT_EQ(Contents(path), content);
  // ntdll imports nothing from kernel32: nothing to patch there.
  EXPECT_FALSE(InstallBackupStreamEmulation(GetModuleHandleA("ntdll.dll")));
}

}  // namespace
