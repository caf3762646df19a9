#include "host_alloc.h"

#include "host_core.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

// Blocks released without a tag of their own carry this one in the host's accounting.
const char kReleaseFile[] = "host_alloc.cpp";
const int kReleaseLine = 0;

void* allocate_zeroed(const char* file, int line, size_t size) {
  // The host's allocator takes a 32-bit size; a larger request cannot be honoured.
  if (size > UINT_MAX) throw std::bad_alloc();
  void* mem = sm_malloc(file, line, static_cast<unsigned int>(size));
  if (!mem) throw std::bad_alloc();
  memset(mem, 0, size);
  return mem;
}

}  // namespace

void* host_alloc(const char* file, int line, size_t size) { return allocate_zeroed(file, line, size); }

void host_free(void* mem) {
  if (mem) sm_free(kReleaseFile, kReleaseLine, mem);
}

char* host_strdup(const char* file, int line, const char* text) {
  if (!text) return nullptr;
  size_t len = strlen(text);
  char* copy = static_cast<char*>(allocate_zeroed(file, line, len + 1));
  memcpy(copy, text, len);
  return copy;
}

wchar_t* host_wcsdup(const char* file, int line, const wchar_t* text) {
  if (!text) return nullptr;
  size_t len = wcslen(text);
  wchar_t* copy = static_cast<wchar_t*>(allocate_zeroed(file, line, (len + 1) * sizeof(wchar_t)));
  memcpy(copy, text, len * sizeof(wchar_t));
  return copy;
}

void* operator new(size_t size, const char* file, int line) { return allocate_zeroed(file, line, size); }
void* operator new[](size_t size, const char* file, int line) { return allocate_zeroed(file, line, size); }
void operator delete(void* mem, const char*, int) noexcept { host_free(mem); }
void operator delete[](void* mem, const char*, int) noexcept { host_free(mem); }

// Untagged allocations (the C++ runtime's own) go to the host as well, because every
// delete returns its block there.
void* operator new(size_t size) { return allocate_zeroed(kReleaseFile, __LINE__, size); }
void* operator new[](size_t size) { return allocate_zeroed(kReleaseFile, __LINE__, size); }
void operator delete(void* mem) noexcept { host_free(mem); }
void operator delete[](void* mem) noexcept { host_free(mem); }
void operator delete(void* mem, size_t) noexcept { host_free(mem); }
void operator delete[](void* mem, size_t) noexcept { host_free(mem); }
