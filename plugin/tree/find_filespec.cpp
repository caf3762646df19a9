#include "find_filespec.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

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
  start_filespec(filespec_head);
}

// A recursive file spec first walks every subdirectory, then lists what its pattern picks; a
// plain one only lists.
void find_filespec_t::start_filespec(filespec_list_t* spec) {
  filespec_curr = spec;
  descending = spec && spec->recursive;
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

// Each level of a recursive file spec is searched twice: once for every subdirectory, which is
// entered at once, then with the pattern for the entries to produce. So the file system alone
// decides which names match (short names and case included), a directory comes after
// everything inside it, and one that only leads to matching files is not produced.
bool find_filespec_t::_next() {
  TRACE_FUNCTION(hpContext);
  for (;;) {
    if (!filespec_curr) return false;
    Dmsg(hpContext, 500, "state=%d\n", state);
    switch (state) {
      case 0: {
        WCHAR* pattern = join(filespec_curr->alt_path, descending ? L"*" : filespec_curr->filespec, false);
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
        state = 1;
        if (is_dot_entry(find_data.cFileName)) break;
        if (!descending) return true;
        if (entry_is_dir(find_data)) {
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
        }
        break;
      case 3:
        if (descending) {
          descending = false;  // the subdirectories are done: now what the pattern picks here
          state = 0;
        } else if (stack_head) {
          // Back to the walk over the subdirectories of the level above.
          find_stack_t* level = stack_head;
          stack_head = level->next;
          find_handle = level->find_handle;
          HFREE(filespec_curr->path);
          HFREE(filespec_curr->alt_path);
          filespec_curr->path = level->path;
          filespec_curr->alt_path = level->alt_path;
          HFREE(level);
          descending = true;
          state = 1;
        } else {
          start_filespec(filespec_curr->next);
        }
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
