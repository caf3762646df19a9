#include "vssfs_file.h"

#include "../frame/host_alloc.h"
#include "../frame/host_core.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vss_utility.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const DWORD kBackupAccess = 0x81020000;   // GENERIC_READ, READ_CONTROL, ACCESS_SYSTEM_SECURITY
const DWORD kRestoreAccess = 0x410c0000;  // GENERIC_WRITE, WRITE_DAC, WRITE_OWNER, ACCESS_SYSTEM_SECURITY
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kReparseFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const int kJobBackup = 1;

// An alias of the name that the code page can carry (the file system's 8.3 name), or null.
char* short_narrow_name(const WCHAR* name) {
  DWORD size = GetShortPathNameW(name, nullptr, 0);
  if (size == 0) return nullptr;
  WCHAR* alias = static_cast<WCHAR*>(HALLOC(size * sizeof(WCHAR)));
  DWORD length = GetShortPathNameW(name, alias, size);
  char* narrow = length > 0 && length < size ? NARROW_FROM_WIDE(alias) : nullptr;
  HFREE(alias);
  return narrow;
}

// One non-negative decimal number, white space before it allowed. Signs, other bases and
// values beyond 63 bits are refused: a range must never turn into an enormous read.
bool parse_offset(const char** text, int64_t* value) {
  const char* p = *text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+') ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  int64_t v = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    int digit = *p - '0';
    if (v > (INT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  *text = p;
  return true;
}

// "offset:length" at text; scanned is the number of characters taken.
bool parse_range(const char* text, int64_t* start, int64_t* len, int* scanned) {
  const char* p = text;
  if (!parse_offset(&p, start) || *p != ':') return false;
  ++p;
  if (!parse_offset(&p, len)) return false;
  *scanned = static_cast<int>(p - text);
  return true;
}

bool only_space(const char* text) {
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  return *text == '\0';
}

// A file is created afresh; a directory or reparse point is opened where it stands.
HANDLE open_entry(const WCHAR* filename, bool plain_file) {
  return CreateFileW(filename, kRestoreAccess, 0, nullptr, plain_file ? CREATE_ALWAYS : OPEN_EXISTING,
                     plain_file ? FILE_FLAG_BACKUP_SEMANTICS : kReparseFlags, nullptr);
}

bool is_missing_path(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Errors a directory or reparse point may meet when it is in use or already there; the entry
// is then left as it is, without a message.
bool is_tolerated(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_FILE_EXISTS;
}

}  // namespace

vssfs_file_t::vssfs_file_t(vssfs_t* vssfs, char* name, vssfs_node_t* parent)
    : vssfs_node_t(vssfs, name, VSSFS_NODE_FILE, parent) {
  TRACE_FUNCTION(hpContext);
  backup_file_handle = INVALID_HANDLE_VALUE;
  backuprw_context = nullptr;
  filename = nullptr;
  partial_range = nullptr;
}

vssfs_file_t::~vssfs_file_t() {
  TRACE_FUNCTION(hpContext);
  end_stream();
  HFREE(filename);
  filename = nullptr;
  HFREE(partial_rangeA);
  partial_rangeA = nullptr;
  range_ptr = nullptr;
}

const char* vssfs_file_t::kind() const {
  if (is_reparse) return "reparse";
  if (is_dir) return "directory";
  return "file";
}

// Ends a pending backup stream and closes the file.
void vssfs_file_t::end_stream() {
  TRACE_FUNCTION(hpContext);
  // The context is released even without an open file: a stream may have been begun on a
  // handle that never opened.
  if (backuprw_context) {
    BYTE unused = 0;
    DWORD done = 0;
    if (vssfs->job_type == kJobBackup)
      BackupRead(backup_file_handle, &unused, 0, &done, TRUE, FALSE, &backuprw_context);
    else
      BackupWrite(backup_file_handle, &unused, 0, &done, TRUE, FALSE, &backuprw_context);
    backuprw_context = nullptr;
  }
  if (backup_file_handle == INVALID_HANDLE_VALUE) return;
  CloseHandle(backup_file_handle);
  backup_file_handle = INVALID_HANDLE_VALUE;
}

hRC vssfs_file_t::startBackupFile(save_pkt* sp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "startBackupNode_FILE level=%d state=%d %ls (%s)\n", level, state, printable(filename),
       kind());
  sp->fname = full_path;
  sp->link = full_path;

  // The host reaches files by names in the code page. A name it cannot carry would stat as
  // nothing at all, so the entry fails (at its open) instead of going out empty.
  char* narrow = NARROW_FROM_WIDE(printable(filename));
  name_failed = narrow == nullptr;
  if (name_failed) {
    char* shown = NARROW_FOR_MESSAGE(filename);
    Jmsg(hpContext, JMSG_ERROR, "Cannot back up \"%s\": its name has characters outside the system code page\n",
         shown);
    HFREE(shown);
    narrow = short_narrow_name(filename);  // the host can still tell the file's status
  }
  memset(&sp->statp, 0, sizeof(sp->statp));
  if (narrow) lstat(narrow, &sp->statp);
  HFREE(narrow);
  Dmsg(hpContext, 90, "Backup fname=%s\n", sp->fname);

  hRC changes = hfuncs->checkChanges(hpContext, sp);
  if (name_failed) changes = hRC_OK;  // an unchanged entry would not be opened, so not fail
  if (is_partial) {
    // Ranges travel as plain bytes, so the host always takes the file as a regular one.
    HFREE(partial_rangeA);
    partial_rangeA = NARROW_FROM_WIDE(printable(partial_range));
    range_ptr = partial_rangeA;
    sp->type = FILE_TYPE_REGULAR;
    sp->flags |= SAVE_FLAGS_PARTIAL;
  } else if (is_reparse) {
    sp->type = FILE_TYPE_REPARSE;
  } else if (is_dir) {
    sp->type = changes == hRC_Seen ? FILE_TYPE_UNCHANGED_DIRECTORY : FILE_TYPE_DIRECTORY;
  } else {
    sp->type = changes == hRC_Seen ? FILE_TYPE_UNCHANGED : FILE_TYPE_REGULAR;
  }
  Dmsg(hpContext, 40, "Backup level=%d type=%d st_mode=0x%08x: %s\n", level, sp->type, sp->statp.st_mode,
       sp->fname);
  return hRC_OK;
}

hRC vssfs_file_t::endBackupFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "endBackupNode_FILE state=%d\n", state);
  vssfs->current_node = parent;
  return hRC_OK;
}

hRC vssfs_file_t::createFile(restore_pkt* rp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "createFile_FILE level=%d state=%d, full_name=%s data_stream=%d\n", level, state, full_path,
       rp->data_stream);
  is_reparse = false;
  is_dir = false;
  switch (rp->type) {
    case FILE_TYPE_REGULAR:
      Dmsg(hpContext, 50, "file\n");
      break;
    case FILE_TYPE_DIRECTORY:
      Dmsg(hpContext, 50, "dir\n");
      is_dir = true;
      break;
    case FILE_TYPE_REPARSE:
    case FILE_TYPE_REPARSE_OTHER:
      Dmsg(hpContext, 50, "reparse\n");
      is_reparse = true;
      break;
    default:
      break;
  }
  if (rp->data_stream == 6 || rp->data_stream == 7) {
    Dmsg(hpContext, 50, "(partial)\n");
    is_partial = true;
  }
  rp->create_status = CREATE_WRITE_DATA;
  return hRC_OK;
}

hRC vssfs_file_t::endRestoreFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 90, "endRestoreFile_FILE state=%d\n", state);
  vssfs->current_node = parent;
  return hRC_Seen;
}

void vssfs_file_t::report_open_failure(const char* call, DWORD error, io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  char* text = formatLastErrorMsg(error);
  char* shown = NARROW_FOR_MESSAGE(filename);
  Dmsg(hpContext, 50, "%s failed on file=\"%s\"\nfull_path=\"%s\"\n       ERR=%s\n", call, shown, full_path,
       text);
  Jmsg(hpContext, JMSG_WARNING, "%s failed on file=\"%s\"\nfull_path=\"%s\"\n       ERR=%s\n", call, shown,
       full_path, text);
  HFREE(shown);
  LocalFree(text);
  io->io_errno = 1;
  io_failed = true;
}

hRC vssfs_file_t::pluginIoOpen(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoOpen_FILE filename=%ls (%s)\n", printable(filename), kind());
  io->status = 0;
  io->io_errno = 0;
  end_stream();  // a repeated open must not leak the earlier handle

  if (vssfs->job_type == kJobBackup && name_failed) {
    io->io_errno = 1;  // reported when the entry started
  } else if (vssfs->job_type == kJobBackup) {
    if (is_partial) {
      backup_file_handle = CreateFileW(filename, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      partial_state = 0;
      range_ptr = partial_rangeA;
    } else {
      backup_file_handle = CreateFileW(filename, kBackupAccess, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN | kReparseFlags, nullptr);
    }
    if (backup_file_handle == INVALID_HANDLE_VALUE) report_open_failure("Open", GetLastError(), io);
  } else if (is_partial) {
    // The ranges go into the file restored before them.
    backup_file_handle = CreateFileW(filename, kRestoreAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (backup_file_handle == INVALID_HANDLE_VALUE) report_open_failure("CreateFileW", GetLastError(), io);
    partial_state = 0;
  } else {
    open_for_restore(io);
  }
  return hRC_OK;
}

// Creates or opens the destination of a whole entry, creating missing parent directories.
void vssfs_file_t::open_for_restore(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  const char* call = is_dir && !is_reparse ? "CreateDirectoryW" : "CreateFileW";
  bool plain_file = !is_dir && !is_reparse;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool second_attempt = false;

  if (plain_file) {
    // A read-only file cannot be replaced; delete it once it is writable.
    if (SetFileAttributesW(filename, FILE_ATTRIBUTE_NORMAL)) DeleteFileW(filename);
    handle = open_entry(filename, plain_file);
  } else if (!is_reparse && !CreateDirectoryW(filename, nullptr) && GetLastError() == ERROR_PATH_NOT_FOUND &&
             create_parent_directories(filename)) {
    second_attempt = true;
  } else {
    handle = open_entry(filename, plain_file);
  }

  if (!second_attempt) {
    DWORD error = GetLastError();
    if (take_open_result(handle, error, io)) return;
    if (!is_missing_path(error) || !create_parent_directories(filename)) {
      report_open_failure(call, error, io);
      return;
    }
  }

  if (!plain_file && !is_reparse) CreateDirectoryW(filename, nullptr);
  handle = open_entry(filename, plain_file);
  DWORD error = GetLastError();
  if (take_open_result(handle, error, io)) return;
  if (is_missing_path(error)) create_parent_directories(filename);
  report_open_failure(call, error, io);
}

// Keeps an opened handle or settles a failure that directories and reparse points tolerate;
// true when the open is over.
bool vssfs_file_t::take_open_result(HANDLE handle, DWORD error, io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "CreateFileW(%s) = %d\n", full_path, handle_number(handle));
  if (handle != INVALID_HANDLE_VALUE) {
    backup_file_handle = handle;
    return true;
  }
  if ((is_dir || is_reparse) && is_tolerated(error)) {
    io->io_errno = 1;
    return true;
  }
  return false;
}

hRC vssfs_file_t::pluginIoRead(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  io->status = 0;
  io->io_errno = 0;
  Dmsg(hpContext, 200, "Reading Data\n");
  if (is_partial) {
    hRC result = read_ranges(io);
    if (io->io_errno) io_failed = true;
    return result;
  }

  DWORD done = 0;
  if (!BackupRead(backup_file_handle, reinterpret_cast<LPBYTE>(io->buf), static_cast<DWORD>(io->count), &done,
                  FALSE, TRUE, &backuprw_context)) {
    io->io_errno = 1;
    io_failed = true;
    Jmsg(hpContext, JMSG_FATAL, "BackupRead returned zero\n");
    return hRC_Error;
  }
  io->status = static_cast<int32_t>(done);
  size += done;
  return hRC_OK;
}

hRC vssfs_file_t::read_ranges(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  for (;;) {
    Dmsg(hpContext, 40, "partial_state = %d\n", partial_state);
    switch (partial_state) {
      case 0: {
        Dmsg(hpContext, 40, "sscanf range_ptr = %p\n", static_cast<void*>(range_ptr));
        int64_t start = 0, len = 0;
        int scanned = 0;
        if (!range_ptr || !parse_range(range_ptr, &start, &len, &scanned)) {
          Dmsg(hpContext, 40, "bad range string\n");
          io->io_errno = 1;
          io->status = 0;
          return hRC_OK;
        }
        Dmsg(hpContext, 40, "range_start = %lld, range_len = %lld, scan_len = %d\n", static_cast<long long>(start),
             static_cast<long long>(len), scanned);
        range_ptr += scanned;
        range_start = start;
        range_len = len;
        range_remaining = len;
        LARGE_INTEGER position;
        position.QuadPart = start;
        if (!SetFilePointerEx(backup_file_handle, position, nullptr, FILE_BEGIN)) {
          io->io_errno = 1;
          Jmsg(hpContext, JMSG_FATAL, "SetFilePointerEx Failed\n");
          return hRC_Error;
        }
        partial_state = 1;
        break;
      }
      case 1: {
        if (io->count <= 0 && range_remaining > 0) {
          io->io_errno = 1;  // no room for data: nothing can be read
          return hRC_OK;
        }
        DWORD want = static_cast<DWORD>(
            range_remaining < static_cast<uint64_t>(io->count) ? range_remaining : static_cast<uint64_t>(io->count));
        DWORD done = 0;
        if (want > 0 && !ReadFile(backup_file_handle, io->buf, want, &done, nullptr)) {
          io->io_errno = 1;
          Jmsg(hpContext, JMSG_FATAL, "ReadFile Failed\n");
          return hRC_Error;
        }
        if (want > 0 && done == 0) {
          // A range beyond the end of the file: the data cannot be complete.
          Dmsg(hpContext, 40, "range beyond end of file\n");
          partial_state = 2;
          io->io_errno = 1;
          return hRC_OK;
        }
        range_remaining -= done;
        if (range_remaining == 0) {
          if (*range_ptr == ',') {
            ++range_ptr;
            partial_state = 0;
          } else if (only_space(range_ptr)) {
            partial_state = 2;
          } else {
            partial_state = 0;  // text that is no separator: the next parse reports it
          }
        }
        // An empty range sends nothing; a status of 0 would end the file early.
        if (done == 0) break;
        io->offset = static_cast<int64_t>(range_start);
        io->status = static_cast<int32_t>(done);
        range_start += done;
        size += done;
        return hRC_OK;
      }
      case 2:
        io->status = 0;
        return hRC_OK;
      default:
        io->io_errno = 1;
        return hRC_Error;
    }
  }
}

hRC vssfs_file_t::pluginIoWrite(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  io->status = 0;
  DWORD done = 0;
  BOOL ok;
  DWORD error = 0;
  if (!is_partial) {
    Dmsg(hpContext, 200, "Calling BackupWrite len = %d\n", io->count);
    ok = BackupWrite(backup_file_handle, reinterpret_cast<LPBYTE>(io->buf), static_cast<DWORD>(io->count), &done,
                     FALSE, TRUE, &backuprw_context);
    error = GetLastError();
    Dmsg(hpContext, 200, "BackupWrite returned %d, writeLength = %d\n", ok, static_cast<int>(done));
  } else {
    Dmsg(hpContext, 200, "Calling WriteFile\n");
    ok = WriteFile(backup_file_handle, io->buf, static_cast<DWORD>(io->count), &done, nullptr);
    error = GetLastError();
  }
  if (!ok) {
    char* text = formatLastErrorMsg(error);
    Dmsg(hpContext, 50, "BackupWrite failed. ERR=%s\n", text);
    // A write after a failed open is a consequence already reported.
    int type = !is_partial && io->io_errno == 1 ? JMSG_WARNING : JMSG_FATAL;
    Jmsg(hpContext, type, "BackupWrite failed. ERR=%s\n", text);
    LocalFree(text);
    io->io_errno = 1;
    io_failed = true;
    return hRC_Error;
  }
  io->io_errno = 0;
  io->status = static_cast<int32_t>(done);
  size += done;
  return hRC_OK;
}

hRC vssfs_file_t::pluginIoSeek(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 200, "pluginIoSeek\n");
  LARGE_INTEGER position;
  position.QuadPart = io->offset;
  io->status = 0;
  io->io_errno = SetFilePointerEx(backup_file_handle, position, nullptr, FILE_BEGIN) ? 0 : 1;
  return hRC_OK;
}

hRC vssfs_file_t::pluginIoClose(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  end_stream();
  io->status = 0;
  io->io_errno = 0;
  return hRC_OK;
}

char* vssfs_file_t::formatLastErrorMsg(DWORD code) {
  TRACE_FUNCTION(hpContext);
  char text[512];
  formatError(static_cast<HRESULT>(code), text, sizeof(text));
  // Codes without a system text still get a text, so callers can always print one.
  if (!text[0]) snprintf(text, sizeof(text), "error %lu", static_cast<unsigned long>(code));
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(LocalAlloc(LMEM_FIXED, size));
  if (copy) memcpy(copy, text, size);
  return copy;
}

bool vssfs_file_t::create_parent_directories(WCHAR* path) {
  size_t len = wcslen(path);
  WCHAR* parent_path = HWCSDUP(path);
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "creating parent directory of %ls\n", path);

  bool result = false;
  bool cut = false;
  for (size_t i = len; i-- > 0;) {
    if (parent_path[i] == L':') {
      result = true;  // the parent is a drive root
      break;
    }
    if (parent_path[i] == L'\\') {
      parent_path[i] = L'\0';
      cut = true;
      break;
    }
  }

  if (cut) {
    HANDLE handle = CreateFileW(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      result = true;
    } else if (error == ERROR_FILE_NOT_FOUND) {
      result = true;
    } else if (error == ERROR_PATH_NOT_FOUND) {
      if (create_parent_directories(parent_path)) {
        if (CreateDirectoryW(parent_path, nullptr)) {
          result = true;
        } else {
          char* text = formatLastErrorMsg(GetLastError());
          Dmsg(hpContext, 50, "CreateDirectoryW \"%ls\" failed. ERR=%s\n", parent_path, text);
          LocalFree(text);
        }
      }
    } else {
      char* text = formatLastErrorMsg(error);
      Dmsg(hpContext, 50, "CreateFileW \"%ls\" failed. ERR=%s\n", parent_path, text);
      LocalFree(text);
    }
  }
  HFREE(parent_path);
  return result;
}
