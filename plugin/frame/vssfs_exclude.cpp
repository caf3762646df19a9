// Files that the host's ordinary file backup must leave out, handed to it as regular
// expressions over its path syntax.
#include "vssfs.h"

#include "host_alloc.h"
#include "host_messages.h"

#include <cstring>

namespace {

const char files_not_to_backup_key[] =
    "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\FilesNotToBackup";
const REGSAM files_not_to_backup_access = 0xF003F;
const DWORD first_value_buffer_size = 1024;
const DWORD first_value_name_size = 256;
const DWORD longest_value_name = 16384;  // the registry's limit, with the NUL

const char recursive_suffix[] = " /s";
const size_t recursive_suffix_length = 3;

// Environment variables expanded; the text as it stands when that fails.
char* expand_environment(const char* text) {
  DWORD size = ExpandEnvironmentStringsA(text, nullptr, 0);
  if (size == 0) return HSTRDUP(text);
  char* expanded = static_cast<char*>(HALLOC(size + 1));
  DWORD written = ExpandEnvironmentStringsA(text, expanded, size + 1);
  if (written == 0 || written > size + 1) {
    HFREE(expanded);
    return HSTRDUP(text);
  }
  return expanded;
}

// Each string of a value's data up to the empty one, never reading past `size` bytes:
// a value that is not a proper list of strings must not lead the walk out of the buffer.
template <typename Visit>
void for_each_string(char* data, DWORD size, Visit visit) {
  DWORD at = 0;
  while (at < size && data[at] != '\0') {
    DWORD end = at;
    while (end < size && data[end] != '\0') ++end;
    // The buffer keeps one zero byte behind the data, so the last string is always ended.
    data[end] = '\0';
    visit(data + at);
    at = end + 1;
  }
}

}  // namespace

hRC vssfs_t::filesetReceived() {
  hfuncs->NewOptions(hpContext);
  hfuncs->AddOptions(hpContext, "ei");
  TRACE_FUNCTION(hpContext);

  DWORD buffer_size = first_value_buffer_size;
  char* buffer = static_cast<char*>(HALLOC(buffer_size + 1));
  DWORD name_size = first_value_name_size;
  char* name = static_cast<char*>(HALLOC(name_size));
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, files_not_to_backup_key, 0, files_not_to_backup_access, &key);
  Dmsg(hpContext, 50, "RegOpenKeyExA(SYSTEM\\..\\FilesNotToBackup) hr = %08x\n", static_cast<unsigned>(rc));

  for (DWORD index = 0; rc == ERROR_SUCCESS;) {
    DWORD name_length = name_size;
    DWORD data_size = buffer_size;
    rc = RegEnumValueA(key, index, name, &name_length, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer), &data_size);
    if (rc == ERROR_MORE_DATA) {
      if (data_size > buffer_size) {
        Dmsg(hpContext, 50, " Allocating a bigger buffer (%d)\n", static_cast<int>(data_size));
        HFREE(buffer);
        buffer_size = data_size;
        buffer = static_cast<char*>(HALLOC(buffer_size + 1));
      } else if (name_size < longest_value_name) {
        // The data fitted, so the name did not: asking again with the same buffers would never end.
        HFREE(name);
        name_size = longest_value_name;
        name = static_cast<char*>(HALLOC(name_size));
      } else {
        break;
      }
      rc = ERROR_SUCCESS;
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    Dmsg(hpContext, 50, " %s\n", name);
    for_each_string(buffer, data_size, [&](char* pattern) { addFilespecExclude(pattern, ' '); });
    ++index;
  }

  if (key) RegCloseKey(key);
  HFREE(name);
  HFREE(buffer);
  return hRC_OK;
}

hRC vssfs_t::addFilespecExclude(char* exclude_string, int type) {
  TRACE_FUNCTION(hpContext);
  size_t length = strlen(exclude_string);
  if (length > recursive_suffix_length &&
      strcmp(exclude_string + length - recursive_suffix_length, recursive_suffix) == 0) {
    char* pattern = static_cast<char*>(HALLOC(length - recursive_suffix_length + 1));
    memcpy(pattern, exclude_string, length - recursive_suffix_length);
    hRC result = addFilespecExclude(pattern, true, type);
    HFREE(pattern);
    return result;
  }
  return addFilespecExclude(exclude_string, false, type == ' ' ? 'F' : type);
}

hRC vssfs_t::addFilespecExclude(char* exclude_string, bool recurse, int type) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 150, "addFilespecExclude(%s, %d, %c)\n", exclude_string, recurse, type);
  char* expanded = expand_environment(exclude_string);
  size_t length = strlen(expanded);
  const char* last_backslash = strrchr(expanded, '\\');
  ptrdiff_t path_end = last_backslash ? last_backslash - expanded : -1;

  // Worst case: the drive pattern, four characters for each one of a ".*" pair, and the
  // directory pattern once (eight characters for one backslash).
  char* regex = static_cast<char*>(HALLOC(6 + 4 * length + 8 + 1));
  char* out = regex;
  auto put = [&out](const char* text) {
    size_t n = strlen(text);
    memcpy(out, text, n);
    out += n;
  };
  if (expanded[0] == '\\') put("[A-Z]:");
  for (size_t i = 0; i < length; ++i) {
    char c = expanded[i];
    switch (c) {
      case '$':
      case '(':
      case '[':
        *out++ = '\\';
        *out++ = c;
        break;
      case '*':
        put(".*");
        break;
      case '.':
        if (expanded[i + 1] == '*') {
          put("($|\\..*)");
          ++i;
        } else {
          put("\\.");
        }
        break;
      case '?':
        *out++ = '.';
        break;
      case '\\':
        put(recurse && static_cast<ptrdiff_t>(i) == path_end ? "(/|/.*/)" : "/");
        break;
      default:
        *out++ = c;
        break;
    }
  }
  *out = '\0';
  Dmsg(hpContext, 150, "  %s (recurse = %s) => %s\n", expanded, recurse ? "yes" : "no", regex);
  hRC result = hfuncs->AddRegex(hpContext, regex, recurse ? ' ' : 'F');
  HFREE(regex);
  HFREE(expanded);
  return result;
}
