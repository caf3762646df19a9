// What the plug-in promises the host, checked on every call: each broken promise is one clear
// "contract violation" line in the job log and fails the job.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include "job_log.h"

#include <string>
#include <vector>

class ContractChecker {
 public:
  explicit ContractChecker(JobLog& log) : log_(log) {}

  void Violation(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
  int count() const { return count_; }

  // loadPlugin's records: sizes and versions the daemon is built against.
  bool CheckPluginRecords(hRC load_result, const pInfo* info, const pFuncs* funcs);
  // A packet's size fields after the plug-in had it: the plug-in must leave them alone.
  void CheckSizes(const char* call, const char* packet, int32_t size, int32_t end, int32_t expected);

  // Backup: the entries of command `index` (from 0) of `count` follow.
  void BeginCommand(size_t index, size_t count);
  // One packet filled by startBackupFile. False when it cannot be recorded at all.
  bool CheckEntry(const save_pkt& sp);
  // IO_OPEN's answer. The daemon judges an I/O call by io_errno alone: an answer of hRC_Error
  // with io_errno 0 would make it read or write an entry that was never opened.
  bool CheckOpened(hRC rc, const io_pkt& io, const char* name);
  // I/O calls the host itself is about to make, so that it never reads or writes an entry it
  // has not opened.
  void NoteIo(int func, const char* name);

  // At the end of the job: blocks of the host allocator the plug-in left behind.
  void CheckBlocksAtEnd(long plugin_blocks, size_t host_service_blocks);

 private:
  JobLog& log_;
  int count_ = 0;
  size_t command_ = 0;
  size_t command_count_ = 0;
  bool objects_started_ = false;
  std::vector<std::string> command_entries_;  // names sent so far in the current command
  bool open_ = false;
};

// The component path (ending in '/') of a component information file name, or "" for any other.
std::string ComponentPathOf(const std::string& name);
bool KnownFileType(int type);
bool TypeHasData(int type);
