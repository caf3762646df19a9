// One job of the bench host: the plug-in instance with its context, the calls into it, and the
// accounting that ends in the summary line.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include "host_services.h"
#include "options.h"
#include "plugin_module.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

struct JobCounts {
  int job_id = 0;
  uint64_t entries = 0;
  uint64_t bytes = 0;
  uint64_t objects = 0;
  long live_blocks = 0;
  long peak_blocks = 0;  // most blocks of the host allocator the job had live at once
};

class PluginJob {
 public:
  PluginJob(const Options& options, std::ostream& out, std::ostream& err);
  ~PluginJob();

  HostJob& host() { return *host_; }
  const HostJob& host() const { return *host_; }
  JobLog& log() { return *host_->log; }
  ContractChecker& contract() { return host_->contract; }
  JobCounts& counts() { return counts_; }
  VssModule* vss() { return vss_.get(); }
  // newPlugin succeeded and freePlugin has not been called yet.
  bool running() const { return running_; }
  // --cancel-after: hEventCancelCommand has been sent; the host makes no further file call.
  bool cancelled() const { return cancelled_; }

  // Loads the shadow copy module (unless "none") and the plug-in, and creates the instance.
  bool Start(int job_id, char job_type);
  // freePlugin and the block accounting.
  void FreeInstance();
  // FreeInstance, then the release of the plug-in and shadow copy modules.
  void Finish();
  // The summary lines; the exit status of the job.
  int End();

  hRC Event(int type, const void* value);
  hRC StartBackupFile(save_pkt* sp);
  hRC EndBackupFile();
  hRC StartRestoreFile(const char* cmd);
  hRC EndRestoreFile();
  hRC PluginIO(io_pkt* io, const char* name);
  hRC CreateFile(restore_pkt* rp);
  hRC SetFileAttributes(restore_pkt* rp);
  hRC CheckFile(const char* fname);

 private:
  // An entry is done: the cancel comes after the number --cancel-after names.
  void EntryDone();
  // What the shadow copy service shows once every object of the job is released.
  void CheckServiceAtEnd();

  const Options& options_;
  std::shared_ptr<HostJob> host_;
  std::shared_ptr<PluginModule> plugin_;
  std::unique_ptr<VssModule> vss_;
  bool instance_ = false;
  bool running_ = false;
  bool alone_ = false;
  size_t live_before_ = 0;
  unsigned overlap_mark_ = 0;
  long entries_done_ = 0;
  bool cancelled_ = false;
  long service_objects_before_ = 0;
  uint64_t journal_start_ = 0;  // size of the service's journal before the job
  JobCounts counts_;
};

const char* EventName(int type);
// Packets as the host hands them over: what the host sets is set, everything else poisoned.
io_pkt NewIoPacket(int func, const std::string& name, char* buf = nullptr, int count = 0);
save_pkt NewSavePacket(const std::string& command);
