// What the plug-in promises the host, checked on every call: each broken promise is one clear
// "contract violation" line in the job log and fails the job.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include "job_log.h"

#include <cstdint>
#include <set>
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

  // The backup job starts (its plug-in takes its unique id from this time on).
  void BeginRun(int64_t start_time) { run_start_ = start_time; }
  // Backup: the entries of command `index` (from 0) of `count` follow.
  void BeginCommand(size_t index, size_t count);
  // One packet filled by startBackupFile. False when it cannot be recorded at all.
  bool CheckEntry(const save_pkt& sp);
  // IO_OPEN's answer: whether the entry is open.
  bool CheckOpened(hRC rc, const io_pkt& io, const char* name);
  // Any I/O call's answer: an error must come with io_errno set.
  void CheckIoAnswer(hRC rc, const io_pkt& io, const char* name);
  // hRC_Seen only passes between the plug-in's nodes; startBackupFile, endBackupFile and
  // createFile never hand it to the host.
  void CheckNotSeen(const char* call, hRC rc);
  // I/O calls the host itself is about to make, so that it never reads or writes an entry it
  // has not opened.
  void NoteIo(int func, const char* name);

  // At the end of the job: blocks of the host allocator the plug-in left behind.
  void CheckBlocksAtEnd(long plugin_blocks, size_t host_service_blocks);

 private:
  void CheckInfoSuffix(const std::string& name, const std::string& suffix);

  JobLog& log_;
  int count_ = 0;
  size_t command_ = 0;
  size_t command_count_ = 0;
  bool objects_started_ = false;
  std::vector<std::string> command_entries_;  // names sent so far in the current command
  std::set<std::string> names_;        // every name sent in the job
  std::set<std::string> directories_;  // directory entries sent in the job
  std::string info_suffix_;            // of the job's first component information file
  int64_t run_start_ = 0;
  bool open_ = false;
};

// The component path (ending in '/') of a component information file name, or "" for any other.
std::string ComponentPathOf(const std::string& name);
bool KnownFileType(int type);
// Packets reach the plug-in filled with this byte except in the fields the host sets, so a
// plug-in that relies on a field it never filled is caught.
const unsigned char kPoisonByte = 0xa5;
bool IsPoison(const void* pointer);  // a pointer field the plug-in never set
bool TypeHasData(int type);
