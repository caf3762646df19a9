#include "../../../plugin/frame/host_interface.h"

#include "archive.h"
#include "jobs.h"
#include "plugin_job.h"
#include "restore_rules.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const int kBlock = 65536;
// data_stream of a file that comes back as byte ranges.
const int kRangeDataStream = 6;
const int kFileDataStream = 1;
// An event number this host's plug-ins do not know (a newer daemon's): answered and ignored.
const int kUnknownEvent = 21;
// A restore object that another plug-in of the same jobs saved; the plug-in must leave it alone.
const char kForeignObjectName[] = "other_job_metadata.xml";
const char kForeignObject[] = "<other plugin=\"bench\"/>";

struct LoadedObject {
  int job_id;
  const ArchiveObject* object;
  std::string data;
};

class RestoreJob {
 public:
  RestoreJob(const Options& options, std::ostream& out, std::ostream& err)
      : options_(options), job_(options, out, err) {}

  int Run();

 private:
  bool ChooseJobs();
  bool CheckArchive();
  void SendObjects();
  void SendObject(const std::string& name, const std::string& bytes, int index, int job_id);
  bool RestoreStream(size_t chain_index, int command);
  void RestoreEntry(const ArchiveJob& job, const ArchiveEntry& entry);
  bool WriteData(const ArchiveJob& job, const ArchiveEntry& entry);
  bool Io(io_pkt* io, const std::string& name, const char* what);
  std::string TargetName(const std::string& name) const;

  const Options& options_;
  PluginJob job_;
  Archive archive_{options_.archive};
  std::vector<const ArchiveJob*> chosen_;
  std::vector<std::vector<const ArchiveEntry*>> plan_;  // per chosen job, in job order
  std::vector<LoadedObject> objects_;
};

bool RestoreJob::ChooseJobs() {
  JobLog& log = job_.log();
  if (!options_.jobs.empty()) {
    std::vector<int> ids = options_.jobs;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (int id : ids) {
      const ArchiveJob* j = archive_.Job(id);
      if (!j) {
        log.Fatal("job %d is not in the archive %s", id, options_.archive.c_str());
        return false;
      }
      if (!j->ok) log.Warning("job %d ended with errors; its entries are restored as saved", id);
      chosen_.push_back(j);
    }
    return true;
  }
  chosen_ = RestoreChain(archive_.jobs());
  if (chosen_.empty()) {
    log.Fatal("the archive %s holds no full backup that ended well", options_.archive.c_str());
    return false;
  }
  return true;
}

// Everything is checked before the plug-in sees anything: a damaged archive restores nothing.
bool RestoreJob::CheckArchive() {
  for (const ArchiveJob* j : chosen_) {
    std::string error;
    if (!archive_.Verify(*j, &error)) {
      job_.log().Fatal("the archive is damaged, nothing is restored: %s", error.c_str());
      return false;
    }
    for (const auto& o : j->objects) {
      LoadedObject loaded{j->id, &o, std::string()};
      if (!archive_.ReadData(*j, o.data_file, o.data_len, &loaded.data)) {
        job_.log().Fatal("the archive is damaged, nothing is restored: job %d: cannot read "
                         "restore object %s", j->id, o.name.c_str());
        return false;
      }
      objects_.push_back(std::move(loaded));
    }
  }
  return true;
}

void RestoreJob::SendObject(const std::string& name, const std::string& bytes, int index,
                            int job_id) {
  restore_object_pkt rop{};
  rop.pkt_size = rop.pkt_end = sizeof(restore_object_pkt);
  std::string name_copy = name;
  std::vector<char> data(bytes.begin(), bytes.end());
  // The plug-in measures every object as a NUL-terminated UTF-16 text, whatever it holds:
  // the padding keeps that read inside the block, at either byte alignment.
  data.insert(data.end(), 4, '\0');
  rop.object_name = &name_copy[0];
  rop.object = data.data();
  rop.object_type = FILE_TYPE_RESTORE_OBJECT;
  rop.object_len = static_cast<int32_t>(bytes.size());
  rop.object_full_len = rop.object_len;
  rop.object_index = index;
  rop.JobId = static_cast<uint32_t>(job_id);
  job_.Event(hEventRestoreObject, &rop);
}

void RestoreJob::SendObjects() {
  // Per job in job order: its backup components document first, then the plug-in's objects with
  // another plug-in's object after the first of them (last when there is none).
  for (const ArchiveJob* j : chosen_) {
    bool foreign_sent = false;
    for (int pass = 0; pass < 2; ++pass) {
      for (auto& loaded : objects_) {
        if (loaded.job_id != j->id) continue;
        if ((loaded.object->name == "job_metadata.xml") != (pass == 0)) continue;
        SendObject(loaded.object->name, loaded.data, loaded.object->index, j->id);
        ++job_.counts().objects;
        if (pass == 1 && !foreign_sent) {
          SendObject(kForeignObjectName, kForeignObject, 0, j->id);
          foreign_sent = true;
        }
      }
    }
    if (!foreign_sent) SendObject(kForeignObjectName, kForeignObject, 0, j->id);
  }
  job_.Event(hEventRestoreObject, nullptr);
}

std::string RestoreJob::TargetName(const std::string& name) const {
  const char* where = job_.host().where;
  if (!where || !*where || std::string(where) == "/") return name;
  std::string prefix = where;
  while (!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\')) prefix.pop_back();
  return prefix + (name.empty() || name[0] == '/' ? "" : "/") + name;
}

int RestoreJob::Run() {
  JobLog& log = job_.log();
  std::string error;
  if (!archive_.Open(&error)) {
    log.Fatal("the archive cannot be read, nothing is restored: %s", error.c_str());
    return job_.End();
  }
  if (!ChooseJobs() || !CheckArchive()) return job_.End();
  plan_ = PlanRestore(chosen_, options_.all_versions, options_.select);

  HostJob& h = job_.host();
  h.SetWhere(options_.where_given, options_.where);
  h.SetRegexWhere(options_.regexwhere_given, options_.regexwhere);
  if (!job_.Start(archive_.NextJobId(), 'R')) return job_.End();

  std::string start = Format("JobId=%d Job=%s", h.job_id, h.job_name.c_str());
  job_.Event(hEventJobStart, start.c_str());
  if (job_.Event(hEventStartRestoreJob, nullptr) != hRC_OK) {
    log.Fatal("the plug-in refused the start of the restore job: nothing is restored");
  } else {
    SendObjects();
    job_.Event(kUnknownEvent, nullptr);
    bool go = true;
    for (size_t i = 0; i < chosen_.size(); ++i)
      for (int c = 1; go && c <= static_cast<int>(chosen_[i]->commands.size()); ++c)
        go = RestoreStream(i, c);
    job_.Event(hEventVssBeforeCloseRestore, nullptr);
  }
  job_.Event(hEventEndRestoreJob, nullptr);
  job_.Event(hEventJobEnd, nullptr);
  return job_.End();
}

bool RestoreJob::RestoreStream(size_t chain_index, int command) {
  const ArchiveJob& job = *chosen_[chain_index];
  const auto& entries = plan_[chain_index];
  bool any = false;
  for (const ArchiveEntry* e : entries) any = any || e->command == command;
  if (!any) return true;
  const std::string& text = job.commands[command - 1];
  hRC rc = job_.Event(hEventRestoreCommand, text.c_str());
  if (rc != hRC_OK) {
    job_.log().Fatal("the plug-in refused the restore command %s (answer %d): the restore stops",
                     text.c_str(), rc);
    return false;
  }
  for (const ArchiveEntry* e : entries)
    if (e->command == command) RestoreEntry(job, *e);
  return true;
}

void RestoreJob::RestoreEntry(const ArchiveJob& job, const ArchiveEntry& entry) {
  if (job_.cancelled()) return;  // a cancelled job makes no further file call
  JobLog& log = job_.log();
  const std::string& command = job.commands[entry.command - 1];
  hRC rc = job_.StartRestoreFile(command.c_str());
  if (rc != hRC_OK) {
    log.Error("startRestoreFile answered %d for %s: not restored", rc, entry.name.c_str());
    return;
  }
  std::string target = TargetName(entry.name);
  restore_pkt rp{};
  rp.pkt_size = rp.pkt_end = sizeof(restore_pkt);
  rp.stream = entry.partial() ? kRangeDataStream : kFileDataStream;
  rp.data_stream = rp.stream;
  rp.type = entry.type;
  rp.file_index = entry.number;
  rp.statp = entry.st;
  rp.attrEx = "";
  rp.ofname = target.c_str();
  rp.olname = entry.link.c_str();
  rp.where = job_.host().where;
  rp.RegexWhere = job_.host().regexwhere;
  rp.replace = 'a';
  rc = job_.CreateFile(&rp);
  bool restored = false;
  if (rc != hRC_OK) {
    log.Error("createFile answered %d for %s: not restored", rc, target.c_str());
  } else if (rp.create_status == CREATE_WRITE_DATA) {
    restored = WriteData(job, entry);
  } else if (rp.create_status == CREATE_NO_DATA || rp.create_status == CREATE_SKIP) {
    restored = rp.create_status == CREATE_NO_DATA;
    if (restored && entry.data_len > 0)
      log.Debug(50, __FILE__, __LINE__,
                Format("%s: the plug-in takes no data (%llu bytes saved)", target.c_str(),
                       static_cast<unsigned long long>(entry.data_len)));
  } else if (rp.create_status == 0) {
    log.Warning("createFile set no create status for %s: not restored", target.c_str());
  } else {
    job_.contract().Violation("createFile set create_status %d, which is not in the table, for %s",
                              rp.create_status, target.c_str());
  }
  if (restored) {
    job_.SetFileAttributes(&rp);
    ++job_.counts().entries;
  }
  rc = job_.EndRestoreFile();
  if (rc != hRC_OK) log.Error("endRestoreFile answered %d for %s", rc, target.c_str());
}

bool RestoreJob::Io(io_pkt* io, const std::string& name, const char* what) {
  hRC rc = job_.PluginIO(io, name.c_str());
  if (rc == hRC_OK && io->io_errno == 0) return true;
  job_.log().Error("%s of %s failed: the file is not completely restored", what, name.c_str());
  return false;
}

bool RestoreJob::WriteData(const ArchiveJob& job, const ArchiveEntry& entry) {
  std::string name = TargetName(entry.name);
  io_pkt io = NewIoPacket(IO_OPEN, name);
  io.mode = entry.st.st_mode;
  hRC rc = job_.PluginIO(&io, name.c_str());
  if (!job_.contract().CheckOpened(rc, io, name.c_str())) {
    job_.log().Error("%s could not be opened for writing: not restored", name.c_str());
    return false;
  }
  bool ok = true;
  FILE* data = nullptr;
  if (!entry.data_file.empty()) {
    data = fopen((job.folder + "\\" + entry.data_file).c_str(), "rb");
    if (!data) {
      job_.log().Error("the data of %s cannot be read from the archive", name.c_str());
      ok = false;
    }
  }
  std::vector<char> buf(kBlock);
  // A plain entry is one range starting at 0 that is not preceded by a seek.
  std::vector<ArchiveRange> ranges = entry.ranges;
  if (!entry.partial()) ranges.assign(1, ArchiveRange{0, static_cast<int64_t>(entry.data_len), 0});
  for (const auto& r : ranges) {
    if (!ok || !data) break;
    if (entry.partial()) {
      io = NewIoPacket(IO_SEEK, name);
      io.whence = SEEK_SET;
      io.offset = r.offset;
      if (!(ok = Io(&io, name, "IO_SEEK"))) break;
    }
    if (fseeko64(data, r.data_offset, SEEK_SET) != 0) ok = false;
    for (int64_t left = r.length; ok && left > 0;) {
      int n = static_cast<int>(std::min<int64_t>(left, kBlock));
      if (fread(buf.data(), 1, n, data) != static_cast<size_t>(n)) {
        job_.log().Error("the data of %s in the archive ends early", name.c_str());
        ok = false;
        break;
      }
      io = NewIoPacket(IO_WRITE, name, buf.data(), n);
      if (!(ok = Io(&io, name, "IO_WRITE"))) break;
      if (io.status != n) {
        job_.log().Error("IO_WRITE of %s took %d of %d bytes: the file is not completely restored",
                         name.c_str(), io.status, n);
        ok = false;
        break;
      }
      left -= n;
      job_.counts().bytes += n;
    }
  }
  if (data) fclose(data);
  io = NewIoPacket(IO_CLOSE, name);
  return Io(&io, name, "IO_CLOSE") && ok;
}

}  // namespace

int RunRestore(const Options& options, std::ostream& out, std::ostream& err) {
  RestoreJob job(options, out, err);
  return job.Run();
}
