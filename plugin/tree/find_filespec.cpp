#include "find_filespec.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

// directory, a backslash unless it ends in one already (a volume root), the name, and a final
// backslash when asked for.
WCHAR* join(const WCHAR* directory, const WCHAR* name, bool final_backslash) {
  size_t dir_len = wcslen(directory);
  size_t name_len = wcslen(name);
  bool separator = dir_len == 0 || directory[dir_len - 1] != L'\\';
  WCHAR* out = static_cast<WCHAR*>(HALLOC((dir_len + name_len + 3) * sizeof(WCHAR)));
  WCHAR* p = out;
  memcpy(p, directory, dir_len * sizeof(WCHAR));
  p += dir_len;
  if (separator) *p++ = L'\\';
  memcpy(p, name, name_len * sizeof(WCHAR));
  p += name_len;
  if (final_backslash) *p++ = L'\\';
  return out;
}

bool entry_is_reparse(const WIN32_FIND_DATAW& data) { return data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT; }

bool entry_is_dir(const WIN32_FIND_DATAW& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !entry_is_reparse(data);
}

bool is_dot_entry(const WCHAR* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

uint64_t ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The directory search's own name test: '*' any run, '?' one character, case ignored; "*.*" and
// a final ".*" also take names without an extension.
bool name_matches(const WCHAR* pattern, const WCHAR* name) {
  if (wcscmp(pattern, L"*.*") == 0) return true;
  if (*pattern == L'\0') return *name == L'\0';
  if (wcscmp(pattern, L".*") == 0 && *name == L'\0') return true;
  if (*pattern == L'*') {
    for (const WCHAR* rest = name;; ++rest) {
      if (name_matches(pattern + 1, rest)) return true;
      if (*rest == L'\0') return false;
    }
  }
  if (*name == L'\0') return false;
  if (*pattern != L'?' && towupper(*pattern) != towupper(*name)) return false;
  return name_matches(pattern + 1, name + 1);
}

}  // namespace

filespec_list_t::filespec_list_t(WCHAR* path, WCHAR* alt_path, WCHAR* filespec, bool recursive) {
  next = nullptr;
  this->path = HWCSDUP(printable(path));
  this->alt_path = HWCSDUP(printable(alt_path));
  this->filespec = HWCSDUP(printable(filespec));
  this->recursive = recursive;
  differenced_time.dwLowDateTime = 0;
  differenced_time.dwHighDateTime = 0;
  partial_range = nullptr;
  partial_metadata = nullptr;
}

filespec_list_t::~filespec_list_t() {
  HFREE(path);
  HFREE(alt_path);
  HFREE(filespec);
  HFREE(partial_range);
  HFREE(partial_metadata);
}

find_filespec_t::find_filespec_t(::hpContext* ctx) {
  hpContext = ctx;
  TRACE_FUNCTION(hpContext);
  filespec_head = nullptr;
  filespec_curr = nullptr;
  stack_head = nullptr;
  find_handle = INVALID_HANDLE_VALUE;
  state = 0;
}

find_filespec_t::~find_filespec_t() {
  TRACE_FUNCTION(hpContext);
  unwind();
  while (filespec_head) {
    filespec_list_t* next = filespec_head->next;
    delete filespec_head;
    filespec_head = next;
  }
  filespec_curr = nullptr;
}

void find_filespec_t::add_filespec(WCHAR* path, WCHAR* alt_path, WCHAR* filespec, bool recursive) {
  TRACE_FUNCTION(hpContext);
  filespec_list_t* spec = HNEW filespec_list_t(path, alt_path, filespec, recursive);
  spec->next = filespec_head;
  filespec_head = spec;
}

void find_filespec_t::add_filespec(WCHAR* path, WCHAR* filespec) {
  TRACE_FUNCTION(hpContext);
  add_filespec(path, path, filespec, true);
}

void find_filespec_t::add_differenced(WCHAR* path, WCHAR* filespec, bool recursive, FILETIME* filetime) {
  TRACE_FUNCTION(hpContext);
  filespec_list_t* spec = filespec_head;
  while (spec && (wcscmp(spec->path, path) != 0 || wcscmp(spec->filespec, filespec) != 0 ||
                  spec->recursive != recursive))
    spec = spec->next;
  if (!spec) {
    add_filespec(path, path, filespec, recursive);
    spec = filespec_head;
  }
  spec->differenced_time = *filetime;
}

void find_filespec_t::add_partial(WCHAR* path, WCHAR* filespec, WCHAR* range, WCHAR* metadata) {
  TRACE_FUNCTION(hpContext);
  filespec_list_t* spec = filespec_head;
  while (spec && (wcscmp(spec->path, path) != 0 || wcscmp(spec->filespec, filespec) != 0 || spec->recursive))
    spec = spec->next;
  if (!spec) {
    add_filespec(path, path, filespec, false);
    spec = filespec_head;
  }
  HFREE(spec->partial_range);
  spec->partial_range = HWCSDUP(range);
  if (metadata) {
    HFREE(spec->partial_metadata);
    spec->partial_metadata = HWCSDUP(metadata);
  }
}

// Closes every open search and gives the current file spec back its own names.
void find_filespec_t::unwind() {
  TRACE_FUNCTION(hpContext);
  if (find_handle != INVALID_HANDLE_VALUE) FindClose(find_handle);
  find_handle = INVALID_HANDLE_VALUE;
  while (stack_head) {
    find_stack_t* level = stack_head;
    stack_head = level->next;
    if (level->find_handle != INVALID_HANDLE_VALUE) FindClose(level->find_handle);
    HFREE(filespec_curr->path);
    HFREE(filespec_curr->alt_path);
    filespec_curr->path = level->path;
    filespec_curr->alt_path = level->alt_path;
    HFREE(level);
  }
}

void find_filespec_t::reset() {
  TRACE_FUNCTION(hpContext);
  unwind();
  filespec_curr = filespec_head;
  state = 0;
}

bool find_filespec_t::next() {
  TRACE_FUNCTION(hpContext);
  while (_next()) {
    uint64_t since = ticks(filespec_curr->differenced_time);
    if (since == 0 || ticks(find_data.ftLastWriteTime) > since) return true;
  }
  return false;
}

bool find_filespec_t::_next() {
  TRACE_FUNCTION(hpContext);
  for (;;) {
    if (!filespec_curr) return false;
    Dmsg(hpContext, 500, "state=%d\n", state);
    switch (state) {
      case 0: {
        // A recursive search lists everything so that subdirectories are entered whatever their
        // names; the pattern then picks the entries to produce.
        WCHAR* pattern = join(filespec_curr->alt_path,
                              filespec_curr->recursive ? L"*" : filespec_curr->filespec, false);
        find_handle = FindFirstFileW(pattern, &find_data);
        Dmsg(hpContext, 500, "FindFirstFile(%ls) = %d\n", pattern, handle_number(find_handle));
        HFREE(pattern);
        state = find_handle != INVALID_HANDLE_VALUE ? 2 : 3;
        break;
      }
      case 1:
        if (FindNextFileW(find_handle, &find_data)) {
          Dmsg(hpContext, 500, "FindNextFileW() = 1\n");
          state = 2;
        } else {
          Dmsg(hpContext, 500, "FindNextFileW() = 0\n");
          FindClose(find_handle);
          find_handle = INVALID_HANDLE_VALUE;
          state = 3;
        }
        break;
      case 2:
        Dmsg(hpContext, 500, "FileName = %ls\n", find_data.cFileName);
        if (is_dot_entry(find_data.cFileName)) {
          state = 1;
        } else if (entry_is_dir(find_data) && filespec_curr->recursive) {
          // Descend now; the directory itself comes when its search is exhausted.
          find_stack_t* level = static_cast<find_stack_t*>(HALLOC(sizeof(find_stack_t)));
          level->next = stack_head;
          level->path = filespec_curr->path;
          level->alt_path = filespec_curr->alt_path;
          level->find_handle = find_handle;
          level->find_data = find_data;
          stack_head = level;
          filespec_curr->path = join(level->path, find_data.cFileName, false);
          filespec_curr->alt_path = join(level->alt_path, find_data.cFileName, false);
          find_handle = INVALID_HANDLE_VALUE;
          state = 0;
        } else if (filespec_curr->recursive &&
                   !name_matches(filespec_curr->filespec, find_data.cFileName)) {
          state = 1;
        } else {
          state = 1;
          return true;
        }
        break;
      case 3:
        if (stack_head) {
          find_stack_t* level = stack_head;
          stack_head = level->next;
          find_handle = level->find_handle;
          find_data = level->find_data;
          HFREE(filespec_curr->path);
          HFREE(filespec_curr->alt_path);
          filespec_curr->path = level->path;
          filespec_curr->alt_path = level->alt_path;
          HFREE(level);
          state = 1;
          return true;
        }
        filespec_curr = filespec_curr->next;
        state = 0;
        break;
      default:
        return false;
    }
  }
}

WCHAR* find_filespec_t::entry_name(const WCHAR* directory) {
  TRACE_FUNCTION(hpContext);
  return join(directory, find_data.cFileName, entry_is_dir(find_data));
}

WCHAR* find_filespec_t::filename() {
  TRACE_FUNCTION(hpContext);
  return filespec_curr ? entry_name(filespec_curr->path) : nullptr;
}

WCHAR* find_filespec_t::alt_filename() {
  TRACE_FUNCTION(hpContext);
  return filespec_curr ? entry_name(filespec_curr->alt_path) : nullptr;
}

bool find_filespec_t::is_dir() {
  TRACE_FUNCTION(hpContext);
  return entry_is_dir(find_data);
}

bool find_filespec_t::is_reparse() {
  TRACE_FUNCTION(hpContext);
  return entry_is_reparse(find_data);
}

FILETIME find_filespec_t::last_write_time() {
  TRACE_FUNCTION(hpContext);
  return find_data.ftLastWriteTime;
}

WCHAR* find_filespec_t::partial_range() {
  TRACE_FUNCTION(hpContext);
  return filespec_curr ? filespec_curr->partial_range : nullptr;
}

WCHAR* find_filespec_t::partial_metadata() {
  TRACE_FUNCTION(hpContext);
  return filespec_curr ? filespec_curr->partial_metadata : nullptr;
}
