// The daemon's side of one plug-in instance: the context record, the answers to the host
// variables, the service table the plug-in calls, and what those calls leave behind.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include "archive.h"
#include "contract.h"
#include "job_log.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct BaseEntry {  // an entry of the job a backup is based on, for checkChanges
  uint64_t size;
  int64_t mtime;
};

class VssGuard;

struct HostJob {
  HostJob(std::ostream& out, std::ostream& err, int debug_level)
      : log(std::make_shared<JobLog>(out, err, debug_level)), contract(*log) {
    ctx.hContext = this;
  }
  HostJob(const HostJob&) = delete;
  HostJob& operator=(const HostJob&) = delete;

  hpContext ctx{};
  std::shared_ptr<JobLog> log;
  ContractChecker contract;

  // Answers to the host variables.
  int job_id = 0;
  char level = 'F';
  char job_type = 'B';  // B backup, R restore
  int accurate = 0;
  int64_t since = 0;
  void* vss_object = nullptr;
  HMODULE vss_module = nullptr;
  std::string working_dir;
  std::string exe_path;
  std::string job_name;
  std::string version = "6.0.0 (hostsim)";
  const char* where = nullptr;       // null: no Where
  const char* regexwhere = nullptr;  // null: no RegexWhere
  std::string where_text, regexwhere_text;

  bool freed = false;  // freePlugin has returned: the context is dead
  std::vector<int> registered_events;
  int option_block = 0;
  std::vector<ArchiveExclusion> exclusions;
  bool use_base = false;  // checkChanges compares with `base` (accurate mode)
  std::map<std::string, BaseEntry> base;
  std::map<void*, size_t> host_blocks;  // harbekMalloc blocks not yet freed
  std::shared_ptr<VssGuard> vss_guard;  // what the plug-in holds as the host's object
  bool null_context_ok = false;  // newPlugin, loadPlugin, unloadPlugin: no context to pass yet
  bool virtual_time = false;
  uint64_t virtual_ms = 0, sleeps = 0;
  std::map<std::string, std::string> stopped_services;  // by lower-case name: stopped, not started since
  // Calls into the plug-in (loadPlugin, the entry table, unloadPlugin) and the time spent in them.
  uint64_t plugin_calls = 0;
  int64_t plugin_ticks = 0;  // QueryPerformanceCounter units

  void SetWhere(bool given, const std::string& text);
  void SetRegexWhere(bool given, const std::string& text);
};

hFuncs* HostServiceTable();
hInfo* HostInfoRecord();

// The job whose plug-in call runs on this thread, or null.
HostJob* CurrentJob();

// The job whose plug-in call runs on this thread: messages through a null context go to its log.
class CurrentJobScope {
 public:
  explicit CurrentJobScope(HostJob* job);
  ~CurrentJobScope();

 private:
  HostJob* job_;
  HostJob* previous_;
  LARGE_INTEGER start_{};  // when the job's outermost call began
};
