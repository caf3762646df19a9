// Turns a component's file specs into a stream of directory entries, one at a time.
#pragma once

#include "../frame/host_interface.h"

#include <windows.h>

// One file spec: files matching 'filespec' below 'path', searched and read under 'alt_path'.
struct filespec_list_t {
  filespec_list_t* next;
  WCHAR* path;      // live directory: the names the backup shows
  WCHAR* alt_path;  // read directory, normally the same one inside the snapshot
  WCHAR* filespec;  // wildcard pattern or plain file name
  bool recursive;
  FILETIME differenced_time;  // 0: no time filter; else only files written later
  WCHAR* partial_range;
  WCHAR* partial_metadata;

  filespec_list_t(WCHAR* path, WCHAR* alt_path, WCHAR* filespec, bool recursive);
  ~filespec_list_t();
};

// One unfinished descent: the names of the level above and its still open search.
struct find_stack_t {
  find_stack_t* next;
  WCHAR* path;
  WCHAR* alt_path;
  HANDLE find_handle;
  WIN32_FIND_DATAW find_data;  // the directory being descended into
};

class find_filespec_t {
 public:
  ::hpContext* hpContext;
  filespec_list_t* filespec_head;
  filespec_list_t* filespec_curr;
  find_stack_t* stack_head;
  HANDLE find_handle;
  int state;  // 0 start a search, 1 fetch, 2 an entry at hand, 3 search exhausted
  WIN32_FIND_DATAW find_data;
  bool descending;  // the open search looks for subdirectories to enter, not for entries to produce

  explicit find_filespec_t(::hpContext* ctx);
  ~find_filespec_t();

  // New file specs go in front of the list.
  void add_filespec(WCHAR* path, WCHAR* alt_path, WCHAR* filespec, bool recursive);
  void add_filespec(WCHAR* path, WCHAR* filespec);
  void add_differenced(WCHAR* path, WCHAR* filespec, bool recursive, FILETIME* filetime);
  void add_partial(WCHAR* path, WCHAR* filespec, WCHAR* range, WCHAR* metadata);

  // Back to the first file spec; call after adding and before the first next().
  void reset();
  // The next entry that passes the time filter; false at the end of the list. Entries are
  // those the file spec's pattern picks, at every level of a recursive one; a directory comes
  // after everything inside it; reparse points are never entered.
  bool next();

  // Names of the current entry, new host blocks the caller releases with HFREE; a directory's
  // names end in a backslash.
  WCHAR* filename();
  WCHAR* alt_filename();
  bool is_dir();
  bool is_reparse();
  FILETIME last_write_time();
  // Texts of the current file spec, owned by the enumerator.
  WCHAR* partial_range();
  WCHAR* partial_metadata();

 private:
  bool _next();
  void start_filespec(filespec_list_t* spec);
  void unwind();
  WCHAR* entry_name(const WCHAR* directory);
};
