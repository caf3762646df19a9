// File operations that Windows carries out at the next reboot, queued during a restore and
// written into the Session Manager's list at its end.
#include "vssfs.h"

#include "host_alloc.h"
#include "host_messages.h"
#include "text_convert.h"
#include "../vss/vss_utility.h"

#include <cstring>
#include <cwchar>

namespace {

const int pending_grow_chars = 3000000;
const WCHAR nt_prefix[] = L"\\??\\";
const size_t nt_prefix_length = 4;
const WCHAR session_manager_key_w[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char session_manager_key_a[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR pending_value_name[] = L"PendingFileRenameOperations";
const REGSAM session_manager_access = 0xF003F;

// Grows the buffer so that `needed` more characters fit, keeping what it holds.
void make_pending_room(vssfs_t* vssfs, size_t needed) {
  if (!vssfs->pending_buf) {
    vssfs->pending_offset = 0;
    vssfs->pending_size = 0;
  }
  int size = vssfs->pending_size;
  while (static_cast<size_t>(vssfs->pending_offset) + needed >= static_cast<size_t>(size)) {
    size += pending_grow_chars;
  }
  if (vssfs->pending_buf && size == vssfs->pending_size) return;
  WCHAR* grown = static_cast<WCHAR*>(HALLOC(static_cast<size_t>(size) * sizeof(WCHAR)));
  if (vssfs->pending_buf) {
    wmemcpy(grown, vssfs->pending_buf, vssfs->pending_offset);
    HFREE(vssfs->pending_buf);
  }
  vssfs->pending_buf = grown;
  vssfs->pending_size = size;
  Dmsg(vssfs->hpContext, 50, "allocated new pending buf %p size = %d\n", vssfs->pending_buf,
       vssfs->pending_size);
}

// Appends one string with its NUL; with `nt_path` the string gets the prefix Windows expects.
void append_pending(vssfs_t* vssfs, const WCHAR* text, bool nt_path) {
  WCHAR* at = vssfs->pending_buf + vssfs->pending_offset;
  if (nt_path) {
    wmemcpy(at, nt_prefix, nt_prefix_length);
    at += nt_prefix_length;
  }
  size_t length = wcslen(text);
  wmemcpy(at, text, length);
  at += length;
  *at++ = L'\0';
  vssfs->pending_offset = static_cast<int>(at - vssfs->pending_buf);
}

// The system's text for `code` without its line end.
void error_text(LONG code, char* text, int size) {
  formatError(static_cast<HRESULT>(code), text, size);
  size_t length = strlen(text);
  while (length && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = '\0';
}

const WCHAR* without_nt_prefix(const WCHAR* path) {
  return wcsncmp(path, nt_prefix, nt_prefix_length) == 0 ? path + nt_prefix_length : path;
}

// Operations that could not be put into the registry are named in the job log, so that the
// operator can carry them out by hand: none may go missing unnoticed.
void report_unscheduled(hpContext* ctx, const WCHAR* operations, int length) {
  int count = 0;
  for (int at = 0; at < length; ++count) {
    at += static_cast<int>(wcslen(operations + at)) + 1;
    if (at < length) at += static_cast<int>(wcslen(operations + at)) + 1;
  }
  Jmsg(ctx, JMSG_ERROR, "%d file operations were not scheduled for the next reboot:\n", count);
  for (int at = 0; at < length;) {
    const WCHAR* source = operations + at;
    at += static_cast<int>(wcslen(source)) + 1;
    const WCHAR* destination = at < length ? operations + at : L"";
    at += static_cast<int>(wcslen(destination)) + 1;
    // Messages are narrow text: names outside the code page show '?' rather than vanish.
    char* from = NARROW_FOR_MESSAGE(without_nt_prefix(source));
    char* to = NARROW_FOR_MESSAGE(without_nt_prefix(destination));
    if (*destination) {
      Jmsg(ctx, JMSG_ERROR, "  not scheduled: replace \"%s\" by \"%s\"\n", to, from);
    } else {
      Jmsg(ctx, JMSG_ERROR, "  not scheduled: delete \"%s\"\n", from);
    }
    HFREE(from);
    HFREE(to);
  }
}

// Reads the list other software has queued, with room for `extra` more characters behind it.
// Retries while that software makes it grow between the size query and the read.
LONG read_existing_operations(hpContext* ctx, HKEY key, int extra, WCHAR** list, int* length) {
  *list = nullptr;
  *length = 0;
  LONG rc = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < 10 && rc == ERROR_MORE_DATA; ++attempt) {
    DWORD bytes = 0;
    rc = RegQueryValueExW(key, pending_value_name, nullptr, nullptr, nullptr, &bytes);
    Dmsg(ctx, 50, "RegQueryValueExW(PendingFileRenameOperations) hr = %08x, buf_size = %d\n",
         static_cast<unsigned>(rc), static_cast<int>(bytes));
    if (rc != ERROR_SUCCESS) return rc;
    // Two characters to spare: a missing NUL after the last string is added below.
    size_t chars = (bytes + 1) / 2;
    WCHAR* buffer = static_cast<WCHAR*>(HALLOC((chars + extra + 2) * sizeof(WCHAR)));
    DWORD read = static_cast<DWORD>(chars * sizeof(WCHAR));
    rc = RegQueryValueExW(key, pending_value_name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                          &read);
    if (rc != ERROR_SUCCESS) {
      HFREE(buffer);
      continue;
    }
    int k = static_cast<int>(read / 2);
    // The list's own terminator goes; the queued pairs then follow the last string.
    if (k >= 2 && buffer[k - 1] == L'\0' && buffer[k - 2] == L'\0') --k;
    if (k >= 1 && buffer[k - 1] != L'\0') buffer[k++] = L'\0';
    // A list holding nothing but NUL characters is empty: kept, it would shift every pair behind it.
    bool only_nuls = true;
    for (int i = 0; i < k && only_nuls; ++i) only_nuls = buffer[i] == L'\0';
    if (only_nuls) k = 0;
    *list = buffer;
    *length = k;
  }
  return rc;
}

}  // namespace

hRC vssfs_t::addPendingRename(WCHAR* target, WCHAR* source) {
  TRACE_FUNCTION(hpContext);
  const WCHAR* to = printable(target);
  const WCHAR* from = printable(source);
  Dmsg(hpContext, 200, "addPendingRenameW(%ls, %ls)\n", to, from);
  make_pending_room(this, 26 + wcslen(from) + 2 * wcslen(to));
  // Windows will not move a file onto an existing one: the target is deleted first.
  append_pending(this, to, true);
  append_pending(this, L"", false);
  append_pending(this, from, true);
  append_pending(this, to, true);
  Dmsg(hpContext, 200, "pending_buf = %ls\n", pending_buf);
  return hRC_OK;
}

hRC vssfs_t::addPendingDelete(WCHAR* filename) {
  TRACE_FUNCTION(hpContext);
  const WCHAR* name = printable(filename);
  Dmsg(hpContext, 200, "addPendingDeleteW(%ls)\n", name);
  make_pending_room(this, 16 + wcslen(name));
  append_pending(this, name, true);
  append_pending(this, L"", false);
  Dmsg(hpContext, 200, "pending_buf = %ls\n", pending_buf);
  return hRC_OK;
}

hRC vssfs_t::addPendingRename(char* target, char* source) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 200, "addPendingRenameA(%s, %s)\n", printable(target), printable(source));
  WCHAR* wide_target = WIDE_FROM_NARROW(printable(target));
  WCHAR* wide_source = WIDE_FROM_NARROW(printable(source));
  hRC result = hRC_Error;
  if (wide_target && wide_source) {
    result = addPendingRename(wide_target, wide_source);
  } else {
    Jmsg(hpContext, JMSG_ERROR, "Cannot schedule the replacement of \"%s\" by \"%s\" at the next reboot: invalid file name\n",
         printable(target), printable(source));
  }
  HFREE(wide_target);
  HFREE(wide_source);
  return result;
}

hRC vssfs_t::addPendingDelete(char* filename) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 200, "addPendingDeleteA(%s)\n", printable(filename));
  WCHAR* wide_filename = WIDE_FROM_NARROW(printable(filename));
  if (!wide_filename) {
    Jmsg(hpContext, JMSG_ERROR, "Cannot schedule the deletion of \"%s\" at the next reboot: invalid file name\n",
         printable(filename));
    return hRC_Error;
  }
  hRC result = addPendingDelete(wide_filename);
  HFREE(wide_filename);
  return result;
}

hRC vssfs_t::commitPendingRenames() {
  Dmsg(hpContext, 50, "commitPendingRenames pending_buf = %p, pending_size = %d, pending_offset = %d\n",
       pending_buf, pending_size, pending_offset);
  TRACE_FUNCTION(hpContext);
  if (!pending_buf) return hRC_OK;

  char err[200];
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, session_manager_key_w, 0, session_manager_access, &key);
  Dmsg(hpContext, 50, "RegOpenKeyExA(SYSTEM\\..\\Session Manager) hr = %08x\n", static_cast<unsigned>(rc));
  if (rc != ERROR_SUCCESS) {
    error_text(rc, err, sizeof(err));
    Jmsg(hpContext, JMSG_ERROR, "Cannot open registry key HKEY_LOCAL_MACHINE\\%s: ERR=%s\n",
         session_manager_key_a, err);
    report_unscheduled(hpContext, pending_buf, pending_offset);
    HFREE(pending_buf);
    pending_buf = nullptr;
    return hRC_OK;
  }

  WCHAR* list = nullptr;
  int total = 0;
  rc = read_existing_operations(hpContext, key, pending_offset + 1, &list, &total);
  if (rc == ERROR_SUCCESS) {
    // Operations other software queued stay first, exactly as they were.
    wmemcpy(list + total, pending_buf, pending_offset);
    total += pending_offset;
    HFREE(pending_buf);
  } else if (rc == ERROR_FILE_NOT_FOUND) {
    list = pending_buf;
    total = pending_offset;
  } else {
    // Writing our list alone would wipe out what others queued.
    error_text(rc, err, sizeof(err));
    Jmsg(hpContext, JMSG_ERROR, "Cannot read registry value PendingFileRenameOperations: ERR=%s\n", err);
    report_unscheduled(hpContext, pending_buf, pending_offset);
    HFREE(pending_buf);
    pending_buf = nullptr;
    RegCloseKey(key);
    return hRC_OK;
  }
  pending_buf = nullptr;

  list[total] = L'\0';
  rc = RegSetValueExW(key, pending_value_name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list),
                      static_cast<DWORD>(total + 1) * sizeof(WCHAR));
  Dmsg(hpContext, 50, "RegSetValueExW(PendingFileRenameOperations) hr = %08x\n", static_cast<unsigned>(rc));
  if (rc != ERROR_SUCCESS) {
    error_text(rc, err, sizeof(err));
    Jmsg(hpContext, JMSG_ERROR, "Cannot write registry value PendingFileRenameOperations: ERR=%s\n", err);
    int ours = pending_offset;
    report_unscheduled(hpContext, list + total - ours, ours);
  }

  DWORD allow = 1;
  rc = RegSetValueExA(key, "AllowProtectedRenames", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&allow),
                      sizeof(allow));
  Dmsg(hpContext, 50, "RegSetValueExA(AllowProtectedRenames) hr = %08x\n", static_cast<unsigned>(rc));
  if (rc != ERROR_SUCCESS) {
    // Without it Windows leaves protected system files as they are.
    error_text(rc, err, sizeof(err));
    Jmsg(hpContext, JMSG_ERROR, "Cannot write registry value AllowProtectedRenames: ERR=%s\n", err);
  }

  RegCloseKey(key);
  HFREE(list);
  return hRC_OK;
}

bool vssfs_t::checkPendingRenames() {
  if (has_pending_files != -1) return has_pending_files != 0;
  TRACE_FUNCTION(hpContext);
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, session_manager_key_a, 0, session_manager_access, &key);
  Dmsg(hpContext, 50, "RegOpenKeyExA(SYSTEM\\..\\Session Manager) hr = %08x\n", static_cast<unsigned>(rc));
  bool pending = true;
  if (rc != ERROR_SUCCESS) {
    // Nothing can be told, and the operations of this restore could not be scheduled either.
    char err[200];
    error_text(rc, err, sizeof(err));
    Jmsg(hpContext, JMSG_ERROR, "Cannot open registry key HKEY_LOCAL_MACHINE\\%s: ERR=%s\n",
         session_manager_key_a, err);
  } else {
    DWORD size = 0;
    rc = RegGetValueA(key, nullptr, "PendingFileRenameOperations", RRF_RT_ANY, nullptr, nullptr, &size);
    Dmsg(hpContext, 50, "RegGetValueA(SYSTEM\\..\\Session Manager) hr = %08x, pending_size = %d\n",
         static_cast<unsigned>(rc), static_cast<int>(size));
    pending = rc != ERROR_FILE_NOT_FOUND;
    RegCloseKey(key);
  }
  has_pending_files = pending ? 1 : 0;
  return pending;
}
