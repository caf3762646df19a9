// The bare loops the plug-in benchmark (plugin_bench.sh) measures snaptree-fd against: the
// backup-stream path and the 64 KiB blocks of the bench host, and nothing of the plug-in.
//
//   streamloop read FOLDER [STORE]  every folder and file below FOLDER, parents first: opened as
//                                   the plug-in opens them for backup, read with BackupRead in
//                                   host-sized blocks; with STORE each stream goes to a data file
//                                   of its own with a checksum, as the bench host keeps it, and
//                                   STORE\names.txt lists them.
//   streamloop write STORE FOLDER   the streams of a STORE written back below FOLDER with
//                                   BackupWrite, opened as the plug-in opens them for restore.
//
// Under Wine the program's BackupRead/BackupWrite go to the emulation the bench host installs.
// Prints "entries=N bytes=N seconds=S store_seconds=S": bytes of the streams; seconds the loop's
// wall time without the STORE's files (what the bench host's own work is to the plug-in), which
// store_seconds counts apart.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "backup_stream_emulation.h"
#include "privileges.h"

namespace {

const DWORD kBlock = 65536;  // the bench host's I/O block size
const DWORD kBackupAccess = GENERIC_READ | READ_CONTROL | ACCESS_SYSTEM_SECURITY;
const DWORD kRestoreAccess = GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Totals {
  unsigned long entries = 0;
  unsigned long long bytes = 0;
  int64_t store_ticks = 0;  // QueryPerformanceCounter units spent on the store's files
};

int64_t Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// Adds the time from its creation to its end to a total: the store's part of the loop.
class StoreTime {
 public:
  explicit StoreTime(Totals* totals) : totals_(totals), start_(Now()) {}
  ~StoreTime() { totals_->store_ticks += Now() - start_; }

 private:
  Totals* totals_;
  int64_t start_;
};

std::wstring Wide(const char* text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
  return out;
}

class Reader {
 public:
  Reader(const std::wstring& root, const char* store) : root_(root), store_(store ? store : "") {}

  bool Run() {
    if (!store_.empty()) {
      StoreTime store(&totals_);
      CreateDirectoryA(store_.c_str(), nullptr);
      names_ = fopen((store_ + "\\names.txt").c_str(), "w");
      if (!names_) return Fail("cannot create the store's names.txt");
    }
    bool ok = Folder(L"");
    if (names_) {
      StoreTime store(&totals_);
      fclose(names_);
    }
    return ok;
  }

  const Totals& totals() const { return totals_; }

 private:
  bool Folder(const std::wstring& relative) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((root_ + relative + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return Fail("cannot list a folder");
    std::vector<std::wstring> folders;
    bool ok = true;
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      bool is_dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (is_dir)
        folders.push_back(relative + L"\\" + name);
      else
        ok = Entry(relative + L"\\" + name, false);
    } while (ok && FindNextFileW(find, &found));
    FindClose(find);
    for (const auto& folder : folders) ok = ok && Entry(folder, true) && Folder(folder);
    return ok;
  }

  bool Entry(const std::wstring& relative, bool is_dir) {
    HANDLE file = CreateFileW((root_ + relative).c_str(), kBackupAccess, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("cannot open an entry");
    FILE* data = nullptr;
    uint64_t checksum = 14695981039346656037ull;
    if (!store_.empty()) {
      StoreTime store(&totals_);
      char data_name[32];
      snprintf(data_name, sizeof data_name, "%06lu.bin", totals_.entries + 1);
      data = fopen((store_ + "\\" + data_name).c_str(), "wb");
      if (!data) return Fail("cannot create a data file");
    }
    void* context = nullptr;
    DWORD got = 0;
    bool ok = true;
    while (ok) {
      if (!BackupRead(file, buffer_.data(), kBlock, &got, FALSE, TRUE, &context)) ok = false;
      if (!ok || got == 0) break;
      totals_.bytes += got;
      if (!data) continue;
      StoreTime store(&totals_);
      if (fwrite(buffer_.data(), 1, got, data) != got) ok = false;
      for (DWORD i = 0; i < got; ++i) checksum = (checksum ^ buffer_[i]) * 1099511628211ull;
    }
    if (context) BackupRead(file, nullptr, 0, &got, TRUE, TRUE, &context);
    CloseHandle(file);
    if (data) {
      StoreTime store(&totals_);
      fclose(data);
      int n = WideCharToMultiByte(CP_UTF8, 0, relative.c_str(), -1, nullptr, 0, nullptr, nullptr);
      std::string name(n, '\0');
      WideCharToMultiByte(CP_UTF8, 0, relative.c_str(), -1, &name[0], n, nullptr, nullptr);
      fprintf(names_, "%c %016llx %s\n", is_dir ? 'd' : 'f', static_cast<unsigned long long>(checksum),
              name.c_str());
    }
    ++totals_.entries;
    return ok || Fail("BackupRead failed");
  }

  bool Fail(const char* what) {
    fprintf(stderr, "streamloop: %s (error %lu)\n", what, GetLastError());
    return false;
  }

  std::wstring root_;
  std::string store_;
  FILE* names_ = nullptr;
  std::vector<BYTE> buffer_ = std::vector<BYTE>(kBlock);
  Totals totals_;
};

bool WriteEntry(const std::string& data_name, const std::wstring& target, bool is_dir, Totals* totals) {
  if (is_dir) CreateDirectoryW(target.c_str(), nullptr);
  HANDLE file = is_dir ? CreateFileW(target.c_str(), kRestoreAccess, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                       : CreateFileW(target.c_str(), kRestoreAccess, 0, nullptr, CREATE_ALWAYS,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILE* data;
  {
    StoreTime store(totals);
    data = fopen(data_name.c_str(), "rb");
  }
  bool ok = file != INVALID_HANDLE_VALUE && data;
  std::vector<BYTE> buffer(kBlock);
  void* context = nullptr;
  DWORD put = 0;
  while (ok) {
    size_t got;
    {
      StoreTime store(totals);
      got = fread(buffer.data(), 1, kBlock, data);
    }
    if (got == 0) break;
    ok = BackupWrite(file, buffer.data(), static_cast<DWORD>(got), &put, FALSE, TRUE, &context) && put == got;
    totals->bytes += got;
  }
  if (context) BackupWrite(file, nullptr, 0, &put, TRUE, TRUE, &context);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (data) {
    StoreTime store(totals);
    fclose(data);
  }
  ++totals->entries;
  if (!ok) fprintf(stderr, "streamloop: cannot write %ls (error %lu)\n", target.c_str(), GetLastError());
  return ok;
}

bool Write(const std::string& store, const std::wstring& root, Totals* totals) {
  FILE* names = fopen((store + "\\names.txt").c_str(), "r");
  if (!names) {
    fprintf(stderr, "streamloop: %s\\names.txt cannot be read\n", store.c_str());
    return false;
  }
  CreateDirectoryW(root.c_str(), nullptr);
  char line[4096];
  bool ok = true;
  while (ok) {
    {
      StoreTime store(totals);
      if (!fgets(line, sizeof line, names)) break;
    }
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() < 20) continue;
    std::string relative = text.substr(19);
    int n = MultiByteToWideChar(CP_UTF8, 0, relative.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, relative.c_str(), -1, &wide[0], n);
    char data_name[32];
    snprintf(data_name, sizeof data_name, "\\%06lu.bin", totals->entries + 1);
    ok = WriteEntry(store + data_name, root + wide, text[0] == 'd', totals);
  }
  fclose(names);
  return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "read" && (argc == 3 || argc == 4)) || (mode == "write" && argc == 4))) {
    fputs("streamloop read FOLDER [STORE] | streamloop write STORE FOLDER\n", stderr);
    return 2;
  }
  // The bench host runs with these; reading the audit part of a descriptor needs them.
  SetProcessPrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME}, true);
  InstallBackupStreamEmulation(GetModuleHandleW(nullptr));
  Totals totals;
  bool ok;
  int64_t start = Now();
  if (mode == "read") {
    Reader reader(Wide(argv[2]), argc == 4 ? argv[3] : nullptr);
    ok = reader.Run();
    totals = reader.totals();
  } else {
    ok = Write(argv[2], Wide(argv[3]), &totals);
  }
  int64_t ticks = Now() - start;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  double per_second = static_cast<double>(frequency.QuadPart);
  printf("entries=%lu bytes=%llu seconds=%.6f store_seconds=%.6f\n", totals.entries, totals.bytes,
         static_cast<double>(ticks - totals.store_ticks) / per_second,
         static_cast<double>(totals.store_ticks) / per_second);
  return ok ? 0 : 1;
}
