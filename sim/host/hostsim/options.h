// The command line of the bench host: a stable interface that scripts and tests depend on.
#pragma once

#include <string>
#include <vector>

struct Options {
  enum Action { kNone, kBackup, kRestore, kList } action = kNone;
  std::string machine;
  std::string archive;
  std::vector<std::string> commands;
  char level = 'F';
  bool accurate = false;
  int debug = -1;  // no debug output unless asked for
  std::string plugin;  // empty: the DLL beside the program
  std::string vss;     // empty: the DLL beside the program; "none": no shadow copy service
  std::vector<int> jobs;
  bool where_given = false;
  std::string where;
  bool regexwhere_given = false;
  std::string regexwhere;
  std::vector<std::string> select;  // restore: wildcard patterns over entry names
  bool all_versions = false;        // restore: every version of a path, not only the newest
  long cancel_after = 0;  // 0: never; else hEventCancelCommand after that many entries
  bool virtual_time = false;
  std::string after_snapshot;  // a command run between the snapshot and the first backup command
  bool partial_files = false;
};

// Fills `options` from the arguments after the program name; on failure `error` says why.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);
const char* UsageText();
