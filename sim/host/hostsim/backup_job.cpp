#include "../../../plugin/frame/host_interface.h"

#include "archive.h"
#include "jobs.h"
#include "plugin_job.h"
#include "vss_guard.h"
#include "restore_rules.h"
#include "vss_requester.h"

#include <set>
#include <vector>

namespace {

const int kBlock = 65536;
// A plug-in that never ends a command would keep the host forever.
const long kMaxEntriesPerCommand = 10000000;

class BackupJob {
 public:
  BackupJob(const Options& options, std::ostream& out, std::ostream& err)
      : options_(options), job_(options, out, err), vss_(job_.log()) {}

  int Run();

 private:
  bool ChooseLevel();
  bool SendStartEvents();
  bool RunAfterSnapshot();
  bool RunCommand(size_t index);
  void SaveEntry(const save_pkt& sp, size_t command);
  void SaveObject(const save_pkt& sp);
  bool ReadData(const std::string& name, bool partial);
  void CheckUnsentEntries();
  bool EventOk(int type, const void* value);

  const Options& options_;
  PluginJob job_;
  VssRequester vss_;
  Archive archive_{options_.archive};
  std::unique_ptr<ArchiveJobWriter> writer_;
  const ArchiveJob* base_ = nullptr;  // the job this backup is based on (I, D)
  char level_ = 'F';
  int64_t since_ = 0;
  std::set<std::string> sent_;
};

bool BackupJob::EventOk(int type, const void* value) {
  hRC rc = job_.Event(type, value);
  if (rc == hRC_OK) return true;
  job_.log().Fatal("the plug-in answered %d to %s: the job stops", rc, EventName(type));
  return false;
}

bool BackupJob::ChooseLevel() {
  level_ = options_.level;
  const ArchiveJob* last = nullptr;
  const ArchiveJob* last_full = nullptr;
  for (const auto& j : archive_.jobs()) {
    if (!j.ok) continue;
    last = &j;
    if (j.level == 'F') last_full = &j;
  }
  if (level_ != 'F' && !last_full) {
    job_.log().Info("No prior full backup in the archive: the %s backup runs as a full backup",
                    level_ == 'I' ? "incremental" : "differential");
    level_ = 'F';
  }
  if (level_ == 'I') base_ = last;
  if (level_ == 'D') base_ = last_full;
  since_ = base_ ? base_->time : 0;
  return true;
}

bool BackupJob::SendStartEvents() {
  HostJob& h = job_.host();
  std::string start = Format("JobId=%d Job=%s", h.job_id, h.job_name.c_str());
  if (!EventOk(hEventJobStart, start.c_str())) return false;
  for (const auto& command : options_.commands)
    if (!EventOk(hEventPluginCommand, command.c_str())) return false;
  if (!EventOk(hEventLevel, reinterpret_cast<void*>(static_cast<intptr_t>(level_)))) return false;
  if (!EventOk(hEventStartBackupJob, nullptr)) return false;
  if (!EventOk(hEventSince, reinterpret_cast<void*>(static_cast<intptr_t>(since_))))
    return false;
  return EventOk(hEventEndFileSet, nullptr);
}

int BackupJob::Run() {
  JobLog& log = job_.log();
  std::string error;
  if (!MakeFolder(options_.archive) || !archive_.Open(&error)) {
    log.Fatal("cannot use the archive: %s", error.empty() ? options_.archive.c_str() : error.c_str());
    return job_.End();
  }
  int job_id = archive_.NextJobId();
  ChooseLevel();

  HostJob& h = job_.host();
  h.level = level_;
  h.since = since_;
  h.accurate = options_.accurate ? 1 : 0;
  if (options_.accurate && base_) {
    h.use_base = true;
    for (const auto& e : base_->entries) h.base[e.name] = BaseEntry{e.st.st_size, e.st.st_mtime};
  }

  // Each backup needs a start time of its own: restore tells the jobs of a chain apart by it.
  int64_t last_time = archive_.jobs().empty() ? 0 : archive_.jobs().back().time;
  int64_t now = time(nullptr);
  while (now <= last_time) {
    Sleep(100);
    now = time(nullptr);
  }
  ArchiveJob record;
  record.id = job_id;
  record.level = level_;
  record.time = now;
  record.since = since_;
  record.accurate = options_.accurate;
  record.commands = options_.commands;
  writer_.reset(new ArchiveJobWriter(options_.archive, record));
  if (!writer_->ok()) {
    log.Fatal("cannot write the archive: %s", writer_->error().c_str());
    return job_.End();
  }

  bool go = job_.Start(job_id, 'B');
  bool vss_ok = false;
  if (go && job_.vss()) {
    vss_ok = vss_.Begin(job_.vss()->create_backup_components(), level_, options_.partial_files);
    if (vss_.object()) {
      h.vss_guard = std::make_shared<VssGuard>(vss_.object(), h.contract);
      h.vss_object = h.vss_guard->object();
    }
  }
  go = go && SendStartEvents();
  if (go && job_.vss() && !vss_ok) {
    // Without a backup components object the plug-in cannot add components, and nothing it
    // would send can come from a snapshot.
    log.Error("without shadow copies no plug-in command can be backed up");
    go = false;
  }
  if (go && vss_ok) go = EventOk(hEventVssBackupAddComponents, nullptr) && vss_.TakeSnapshot();
  go = go && RunAfterSnapshot();
  for (size_t i = 0; go && i < options_.commands.size(); ++i) go = RunCommand(i);
  if (go && options_.accurate && base_) {
    CheckUnsentEntries();
    CheckAnswersAgainstBase(*base_, writer_->job(), job_.contract());
  }
  if (go && vss_ok) {
    std::string document;
    if (vss_.SaveDocument(&document)) {
      writer_->AddObject("job_metadata.xml", 0, document.data(), document.size());
      ++job_.counts().objects;
    }
    h.vss_guard->CheckSucceededBeforeComplete();
    vss_.Complete();
  }
  if (vss_ok && job_.cancelled()) vss_.Abort();
  if (vss_ok) vss_.DeleteSnapshot();
  if (job_.running()) {
    job_.Event(hEventEndBackupJob, nullptr);
    job_.Event(hEventJobEnd, nullptr);
  }
  job_.FreeInstance();
  h.vss_object = nullptr;
  vss_.Release();
  if (h.vss_guard) h.vss_guard->Detach();
  job_.Finish();

  writer_->job().exclusions = h.exclusions;
  // A cancelled job is incomplete: no restore or later backup builds on it.
  writer_->job().ok = !log.failed() && !job_.cancelled();
  if (!writer_->Commit()) log.Fatal("cannot write the archive: %s", writer_->error().c_str());
  return job_.End();
}

bool BackupJob::RunCommand(size_t index) {
  const std::string& command = options_.commands[index];
  job_.contract().BeginCommand(index, options_.commands.size());
  if (!EventOk(hEventBackupCommand, command.c_str())) return false;
  for (long n = 0; n < kMaxEntriesPerCommand; ++n) {
    save_pkt sp = NewSavePacket(command);
    hRC rc = job_.StartBackupFile(&sp);
    if (rc != hRC_OK) {
      job_.log().Fatal("startBackupFile answered %d during command %s: the job stops", rc,
                       command.c_str());
      return false;
    }
    if (job_.contract().CheckEntry(sp)) {
      if (sp.type == FILE_TYPE_RESTORE_OBJECT)
        SaveObject(sp);
      else
        SaveEntry(sp, index);
    }
    rc = job_.EndBackupFile();
    if (job_.cancelled()) return false;
    if (rc == hRC_OK) return true;
    if (rc != hRC_More) {
      job_.log().Fatal("endBackupFile answered %d during command %s: the job stops", rc,
                       command.c_str());
      return false;
    }
  }
  job_.log().Fatal("command %s sent more than %ld entries: the job stops", command.c_str(),
                   kMaxEntriesPerCommand);
  return false;
}

bool BackupJob::RunAfterSnapshot() {
  if (options_.after_snapshot.empty()) return true;
  std::string line = "cmd.exe /c " + options_.after_snapshot;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    job_.log().Fatal("the --after-snapshot command cannot be started (error %lu)", GetLastError());
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (code == 0) return true;
  job_.log().Fatal("the --after-snapshot command exited with %lu: the job stops", code);
  return false;
}

void BackupJob::SaveObject(const save_pkt& sp) {
  CheckRestoreObject(sp, job_.contract());
  const char* name = sp.object_name && !IsPoison(sp.object_name) ? sp.object_name : sp.fname;
  if (sp.object_len < 0 || (sp.object_len > 0 && (!sp.object || IsPoison(sp.object)))) {
    job_.contract().Violation("restore object %s has length %d and %s data", name, sp.object_len,
                              sp.object ? "some" : "no");
    return;
  }
  if (!writer_->AddObject(name, sp.index, sp.object, static_cast<size_t>(sp.object_len))) {
    job_.log().Fatal("cannot write the archive: %s", writer_->error().c_str());
    return;
  }
  ++job_.counts().objects;
  job_.log().Debug(40, __FILE__, __LINE__, Format("restore object %s, %d bytes", name, sp.object_len));
}

void BackupJob::SaveEntry(const save_pkt& sp, size_t command) {
  ArchiveEntry entry;
  entry.command = static_cast<int>(command + 1);
  entry.name = sp.fname;
  entry.link = sp.link && !IsPoison(sp.link) ? sp.link : "";
  entry.type = sp.type;
  entry.flags = sp.flags;
  entry.st = sp.statp;
  sent_.insert(entry.name);
  writer_->AddEntry(entry);
  if (TypeHasData(sp.type) && !ReadData(entry.name, (sp.flags & SAVE_FLAGS_PARTIAL) == SAVE_FLAGS_PARTIAL)) {
    // An entry without its data would be restored empty: it is not kept at all.
    writer_->DropLastEntry();
    return;
  }
  ++job_.counts().entries;
}

bool BackupJob::ReadData(const std::string& name, bool partial) {
  io_pkt io = NewIoPacket(IO_OPEN, name);
  hRC rc = job_.PluginIO(&io, name.c_str());
  if (!job_.contract().CheckOpened(rc, io, name.c_str())) {
    job_.log().Error("%s could not be opened for reading: not saved", name.c_str());
    return false;
  }
  std::vector<char> buf(kBlock);
  bool ok = true;
  while (true) {
    io = NewIoPacket(IO_READ, name, buf.data(), kBlock);
    rc = job_.PluginIO(&io, name.c_str());
    if (rc != hRC_OK || io.io_errno != 0) {
      job_.log().Error("reading %s failed: not saved", name.c_str());
      ok = false;
      break;
    }
    if (io.status == 0) break;
    if (io.status < 0 || io.status > kBlock) {
      job_.contract().Violation("IO_READ of %s reported %d bytes for a buffer of %d", name.c_str(),
                                io.status, kBlock);
      ok = false;
      break;
    }
    bool written = partial ? writer_->AppendRange(io.offset, buf.data(), io.status)
                           : writer_->AppendData(buf.data(), io.status);
    if (!written) {
      job_.log().Fatal("cannot write the archive: %s", writer_->error().c_str());
      ok = false;
      break;
    }
    job_.counts().bytes += io.status;
  }
  io = NewIoPacket(IO_CLOSE, name);
  rc = job_.PluginIO(&io, name.c_str());
  if (ok && (rc != hRC_OK || io.io_errno != 0)) {
    job_.log().Error("closing %s failed: not saved", name.c_str());
    ok = false;
  }
  return ok;
}

void BackupJob::CheckUnsentEntries() {
  for (const auto& e : base_->entries) {
    if (sent_.count(e.name)) continue;
    hRC rc = job_.CheckFile(e.name.c_str());
    ArchiveCheck check;
    check.name = e.name;
    check.seen = rc == hRC_Seen;
    writer_->job().checks.push_back(check);
  }
}

}  // namespace

int RunBackup(const Options& options, std::ostream& out, std::ostream& err) {
  BackupJob job(options, out, err);
  return job.Run();
}
