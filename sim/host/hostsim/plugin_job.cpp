#include "../../../plugin/frame/host_interface.h"

#include "plugin_job.h"

#include "registry_replace_recorder.h"

#include "../harbek/harbek_accounting.h"
#include "service_watch.h"
#include "virtual_clock.h"
#include "vss_guard.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <fstream>

namespace {

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The allocator's count is process-wide: a job can only judge its own blocks while no other
// instance lived during it.
std::atomic<int> g_instances{0};
std::atomic<unsigned> g_overlaps{0};

}  // namespace

const char* EventName(int type) {
  static const char* const kNames[] = {
      "?", "hEventJobStart", "hEventJobEnd", "hEventStartBackupJob", "hEventEndBackupJob",
      "hEventStartRestoreJob", "hEventEndRestoreJob", "hEventStartVerifyJob", "hEventEndVerifyJob",
      "hEventBackupCommand", "hEventRestoreCommand", "hEventLevel", "hEventSince",
      "hEventCancelCommand", "hEventVssBackupAddComponents",
      "hEventVssRestoreLoadComponentMetadata", "hEventVssRestoreSetComponentsSelected",
      "hEventRestoreObject", "hEventEndFileSet", "hEventPluginCommand",
      "hEventVssBeforeCloseRestore"};
  return type > 0 && type <= 20 ? kNames[type] : "?";
}

io_pkt NewIoPacket(int func, const std::string& name, char* buf, int count) {
  io_pkt io;
  memset(&io, kPoisonByte, sizeof io);  // status, io_errno and offset are the plug-in's
  io.pkt_size = io.pkt_end = sizeof(io_pkt);
  io.func = func;
  io.fname = name.c_str();
  io.buf = buf;
  io.count = count;
  io.flags = 0;
  io.mode = 0;
  io.lerror = 0;
  io.whence = 0;
  io.win32 = false;
  return io;
}

save_pkt NewSavePacket(const std::string& command) {
  save_pkt sp;
  memset(&sp, kPoisonByte, sizeof sp);
  sp.pkt_size = sp.pkt_end = sizeof(save_pkt);
  sp.flags = 0;  // the plug-in ORs bits in
  sp.portable = false;
  sp.cmd = const_cast<char*>(command.c_str());
  return sp;
}

PluginJob::PluginJob(const Options& options, std::ostream& out, std::ostream& err)
    : options_(options), host_(std::make_shared<HostJob>(out, err, options.debug)) {}

PluginJob::~PluginJob() {
  if (instance_ || plugin_) Finish();
}

bool PluginJob::Start(int job_id, char job_type) {
  HostJob& h = *host_;
  h.job_id = job_id;
  counts_.job_id = job_id;
  h.job_type = job_type;
  h.exe_path = ProgramFolder();
  h.working_dir = options_.archive + "\\working";
  MakeFolder(h.working_dir);
  h.job_name = Format("hostsim-%s.%d", job_type == 'B' ? "backup" : "restore", job_id);

  std::string error;
  journal_start_ = static_cast<uint64_t>(FileSize(options_.archive + "\\vss-journal.txt"));
  if (options_.vss != "none") {
    std::string path = options_.vss.empty() ? ProgramFolder() + "\\simvss.dll" : options_.vss;
    vss_.reset(new VssModule);
    if (!vss_->Load(path, options_.machine, options_.archive + "\\vss-journal.txt", &error)) {
      log().Fatal("%s", error.c_str());
      return false;
    }
    h.vss_module = vss_->module();
    service_objects_before_ = vss_->ObjectCount();
  }
  std::string path = options_.plugin.empty() ? ProgramFolder() + "\\snaptree-fd.dll" : options_.plugin;
  plugin_ = PluginModule::Acquire(path, h, &error);
  if (!plugin_ || !plugin_->funcs()) {
    log().Fatal("%s", error.c_str());
    return false;
  }

  h.virtual_time = options_.virtual_time;
  if (options_.virtual_time && !UseVirtualSleep(plugin_->module()))
    log().Warning("the plug-in does not import Sleep: --virtual-time has nothing to replace");
  WatchServices(plugin_->module());
  h.contract.BeginRun(time(nullptr));

  // Wine ignores hive replacements: they are recorded for the simulated reboot.
  if (!options_.hive_record.empty() &&
      !InstallRegistryReplaceRecorder(plugin_->module(), options_.hive_record.c_str()))
    log().Warning("the plug-in does not import RegReplaceKeyA; --hive-record records nothing");

  if (g_instances.fetch_add(1) > 0) g_overlaps.fetch_add(1);
  overlap_mark_ = g_overlaps.load();
  live_before_ = harbek_live_blocks();
  harbek_peak_live_blocks(true);
  instance_ = true;
  hRC rc;
  {
    CurrentJobScope current(&h);
    h.null_context_ok = true;  // the instance traces its construction before it has a context
    rc = plugin_->funcs()->newPlugin(&h.ctx);
    h.null_context_ok = false;
  }
  if (rc != hRC_OK) {
    log().Fatal("newPlugin answered %d: the plug-in refuses the job", rc);
    return false;
  }
  running_ = true;
  return true;
}

void PluginJob::FreeInstance() {
  HostJob& h = *host_;
  if (instance_) {
    {
      CurrentJobScope current(&h);
      plugin_->funcs()->freePlugin(&h.ctx);
    }
    h.freed = true;
    instance_ = false;
    running_ = false;
    long left = static_cast<long>(harbek_live_blocks()) - static_cast<long>(live_before_);
    bool alone = g_instances.fetch_sub(1) == 1 && g_overlaps.load() == overlap_mark_;
    alone_ = alone;
    counts_.live_blocks = alone ? left : 0;
    long peak = static_cast<long>(harbek_peak_live_blocks(false)) - static_cast<long>(live_before_);
    counts_.peak_blocks = alone ? peak : 0;
    if (h.vss_guard) h.vss_guard->CheckReferencesAtEnd();
    h.contract.CheckBlocksAtEnd(counts_.live_blocks, h.host_blocks.size());
    CheckServicesAtEnd(h);
    for (auto& block : h.host_blocks) free(block.first);
    h.host_blocks.clear();
  }
  h.freed = true;
}

void PluginJob::Finish() {
  FreeInstance();
  if (plugin_) {
    plugin_->Retire(host_);
    plugin_.reset();  // the last job of the module runs unloadPlugin here
  }
  if (vss_) CheckServiceAtEnd();
  vss_.reset();
}

void PluginJob::CheckServiceAtEnd() {
  long now = vss_->ObjectCount();
  // The count is module-wide: only a job that ran alone can judge it.
  if (alone_ && now != service_objects_before_)
    contract().Violation("%ld objects of the shadow copy service live after the job, %ld before "
                         "the plug-in was loaded: the plug-in left references behind",
                         now, service_objects_before_);
  // The service names every broken rule of its interface in its journal.
  std::ifstream journal(options_.archive + "\\vss-journal.txt", std::ios::binary);
  journal.seekg(static_cast<std::streamoff>(journal_start_));
  for (std::string line; std::getline(journal, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 8, "misuse: ") == 0)
      contract().Violation("the shadow copy service reports %s", line.c_str());
  }
}

int PluginJob::End() {
  Finish();
  if (options_.virtual_time)
    log().Info("virtual clock: %llu Sleep calls, %llu ms", static_cast<unsigned long long>(host_->sleeps),
               static_cast<unsigned long long>(host_->virtual_ms));
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  log().Summary(Format("plugin: calls=%llu seconds=%.6f peak_live_blocks=%ld",
                       static_cast<unsigned long long>(host_->plugin_calls),
                       static_cast<double>(host_->plugin_ticks) / static_cast<double>(frequency.QuadPart),
                       counts_.peak_blocks));
  log().Summary(Format("summary: jobid=%d entries=%llu bytes=%llu objects=%llu live_blocks=%ld",
                       counts_.job_id, static_cast<unsigned long long>(counts_.entries),
                       static_cast<unsigned long long>(counts_.bytes),
                       static_cast<unsigned long long>(counts_.objects), counts_.live_blocks));
  return log().failed() ? 1 : 0;
}

void PluginJob::EntryDone() {
  if (cancelled_ || options_.cancel_after <= 0 || ++entries_done_ < options_.cancel_after) return;
  log().Info("the job is cancelled after %ld entries", entries_done_);
  Event(hEventCancelCommand, nullptr);
  cancelled_ = true;
}

hRC PluginJob::Event(int type, const void* value) {
  // After a cancel a daemon only ends the job.
  if (cancelled_ && type != hEventEndBackupJob && type != hEventEndRestoreJob && type != hEventJobEnd) {
    log().Debug(50, __FILE__, __LINE__, Format("cancelled: %s not sent", EventName(type)));
    return hRC_OK;
  }
  hEvent event{static_cast<uint32_t>(type)};
  log().Debug(50, __FILE__, __LINE__, Format("event %s", EventName(type)));
  CurrentJobScope current(host_.get());
  return plugin_->funcs()->handlePluginEvent(&host_->ctx, &event, const_cast<void*>(value));
}

hRC PluginJob::StartBackupFile(save_pkt* sp) {
  hRC rc;
  {
    CurrentJobScope current(host_.get());
    rc = plugin_->funcs()->startBackupFile(&host_->ctx, sp);
  }
  contract().CheckSizes("startBackupFile", "save_pkt", sp->pkt_size, sp->pkt_end, sizeof(save_pkt));
  contract().CheckNotSeen("startBackupFile", rc);
  return rc;
}

hRC PluginJob::EndBackupFile() {
  hRC rc;
  {
    CurrentJobScope current(host_.get());
    rc = plugin_->funcs()->endBackupFile(&host_->ctx);
  }
  contract().CheckNotSeen("endBackupFile", rc);
  EntryDone();
  return rc;
}

hRC PluginJob::StartRestoreFile(const char* cmd) {
  CurrentJobScope current(host_.get());
  return plugin_->funcs()->startRestoreFile(&host_->ctx, cmd);
}

hRC PluginJob::EndRestoreFile() {
  hRC rc;
  {
    CurrentJobScope current(host_.get());
    rc = plugin_->funcs()->endRestoreFile(&host_->ctx);
  }
  EntryDone();
  return rc;
}

hRC PluginJob::PluginIO(io_pkt* io, const char* name) {
  contract().NoteIo(io->func, name);
  hRC rc;
  {
    CurrentJobScope current(host_.get());
    rc = plugin_->funcs()->pluginIO(&host_->ctx, io);
  }
  contract().CheckSizes("pluginIO", "io_pkt", io->pkt_size, io->pkt_end, sizeof(io_pkt));
  contract().CheckIoAnswer(rc, *io, name);
  return rc;
}

hRC PluginJob::CreateFile(restore_pkt* rp) {
  memset(&rp->create_status, kPoisonByte, sizeof rp->create_status);  // the plug-in's to set
  hRC rc;
  {
    CurrentJobScope current(host_.get());
    rc = plugin_->funcs()->createFile(&host_->ctx, rp);
  }
  contract().CheckSizes("createFile", "restore_pkt", rp->pkt_size, rp->pkt_end, sizeof(restore_pkt));
  contract().CheckNotSeen("createFile", rc);
  return rc;
}

hRC PluginJob::SetFileAttributes(restore_pkt* rp) {
  hRC rc;
  {
    CurrentJobScope current(host_.get());
    rc = plugin_->funcs()->setFileAttributes(&host_->ctx, rp);
  }
  contract().CheckSizes("setFileAttributes", "restore_pkt", rp->pkt_size, rp->pkt_end,
                        sizeof(restore_pkt));
  return rc;
}

hRC PluginJob::CheckFile(const char* fname) {
  std::string copy = fname;  // the plug-in takes a writable text
  CurrentJobScope current(host_.get());
  return plugin_->funcs()->checkFile(&host_->ctx, &copy[0]);
}
