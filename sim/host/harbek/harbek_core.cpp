// Stand-in for the daemon's core library: the allocator with leak accounting, and lstat.
// Exported under the real library's names by harbek.def.
#include "../../../plugin/frame/host_interface.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace {

struct Block {
  const char* file;
  int line;
  size_t size;
};

// Fill written over freed blocks so a read after free shows a recognisable pattern.
const unsigned char kFreedFill = 0xDD;

SRWLOCK g_lock = SRWLOCK_INIT;
std::unordered_map<void*, Block>* g_live;
std::unordered_set<void*>* g_freed;  // freed and not handed out again: a second free is a double free
std::unordered_set<std::string>* g_files;  // source names outlive the module that passed them
size_t g_bad_frees;
size_t g_peak;  // most blocks live at once since the last reset
size_t g_fail_countdown;  // 0: every allocation succeeds

struct Guard {
  Guard() {
    AcquireSRWLockExclusive(&g_lock);
    if (!g_live) {
      g_live = new std::unordered_map<void*, Block>;
      g_freed = new std::unordered_set<void*>;
      g_files = new std::unordered_set<std::string>;
    }
  }
  ~Guard() { ReleaseSRWLockExclusive(&g_lock); }
};

int64_t UnixSeconds(const FILETIME& ft) {
  ULARGE_INTEGER v;
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>((v.QuadPart - 116444736000000000ULL) / 10000000ULL);
}

}  // namespace

extern "C" {

void* harbek_sm_malloc(const char* file, int line, unsigned int size) {
  {
    Guard g;
    if (g_fail_countdown && --g_fail_countdown == 0) return nullptr;  // as when memory runs out
  }
  void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
  if (!p) {
    fprintf(stderr, "harbek: sm_malloc of %u bytes failed at %s:%d\n", size, file, line);
    return nullptr;
  }
  Guard g;
  const char* name = g_files->insert(file ? file : "?").first->c_str();
  (*g_live)[p] = Block{name, line, size};
  if (g_live->size() > g_peak) g_peak = g_live->size();
  g_freed->erase(p);
  return p;
}

void harbek_sm_free(const char* file, int line, void* mem) {
  if (!mem) return;
  Block b;
  {
    Guard g;
    auto it = g_live->find(mem);
    if (it == g_live->end()) {
      ++g_bad_frees;
      fprintf(stderr, "harbek: %s of %p at %s:%d\n",
              g_freed->count(mem) ? "double free" : "free of a block never allocated", mem,
              file, line);
      return;
    }
    b = it->second;
    g_live->erase(it);
    g_freed->insert(mem);
  }
  memset(mem, kFreedFill, b.size);
  HeapFree(GetProcessHeap(), 0, mem);
}

void* harbek_actuallymalloc(unsigned int size) {
  return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}

void harbek_actuallyfree(void* mem) {
  if (mem) HeapFree(GetProcessHeap(), 0, mem);
}

int harbek_lstat(const char* path, struct stat* st) {
  memset(st, 0, sizeof(*st));
  int wlen = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (wlen <= 0) return -1;
  std::wstring wpath(wlen, L'\0');
  MultiByteToWideChar(CP_ACP, 0, path, -1, &wpath[0], wlen);
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(wpath.c_str(), GetFileExInfoStandard, &info)) return -1;

  bool dir = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
  bool readonly = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
  st->st_mode = dir ? 0040755 : (readonly ? 0100444 : 0100644);
  st->st_nlink = 1;
  st->st_size = dir ? 0 : (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  st->st_atime = UnixSeconds(info.ftLastAccessTime);
  st->st_mtime = UnixSeconds(info.ftLastWriteTime);
  // Windows has no inode change time; the creation time is what its C runtime reports there.
  st->st_ctime = UnixSeconds(info.ftCreationTime);
  st->st_blksize = 4096;
  st->st_blocks = (st->st_size + 511) / 512;
  return 0;
}

size_t harbek_live_blocks() {
  Guard g;
  return g_live->size();
}

size_t harbek_peak_live_blocks(bool reset) {
  Guard g;
  size_t peak = g_peak;
  if (reset) g_peak = g_live->size();
  return peak;
}

size_t harbek_live_blocks_matching(const char* file_part) {
  Guard g;
  size_t count = 0;
  for (const auto& kv : *g_live)
    if (strstr(kv.second.file, file_part)) ++count;
  return count;
}

size_t harbek_report_live_blocks() {
  Guard g;
  for (const auto& kv : *g_live)
    fprintf(stderr, "live block: %s:%d %zu bytes\n", kv.second.file, kv.second.line,
            kv.second.size);
  return g_live->size();
}

void harbek_fail_allocation(size_t nth) {
  Guard g;
  g_fail_countdown = nth;
}

size_t harbek_bad_frees() {
  Guard g;
  return g_bad_frees;
}

}  // extern "C"
