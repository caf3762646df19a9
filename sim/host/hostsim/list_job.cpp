#include "../../../plugin/frame/host_interface.h"

#include "archive.h"
#include "jobs.h"
#include "job_log.h"
#include "restore_rules.h"

#include <algorithm>
#include <ctime>

namespace {

const char* TypeName(int type) {
  switch (type) {
    case FILE_TYPE_REGULAR: return "file";
    case FILE_TYPE_DIRECTORY: return "dir";
    case FILE_TYPE_UNCHANGED: return "unchanged";
    case FILE_TYPE_UNCHANGED_DIRECTORY: return "unchanged-dir";
    case FILE_TYPE_REPARSE: return "reparse";
    case FILE_TYPE_RESTORE_OBJECT: return "object";
    case FILE_TYPE_REPARSE_OTHER: return "reparse-other";
    default: return "?";
  }
}

std::string TimeText(int64_t t) {
  time_t value = static_cast<time_t>(t);
  struct tm* utc = gmtime(&value);
  char buf[32] = "-";
  if (utc && t) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", utc);
  return buf;
}

void ListJob(const ArchiveJob& j, JobLog& log) {
  log.Summary(Format("job %d level=%c time=%s since=%s accurate=%s status=%s", j.id, j.level,
                     TimeText(j.time).c_str(), TimeText(j.since).c_str(), j.accurate ? "yes" : "no",
                     j.ok ? "ok" : "failed"));
  for (size_t i = 0; i < j.commands.size(); ++i)
    log.Summary(Format("  command %zu: %s", i + 1, j.commands[i].c_str()));
  for (const auto& x : j.exclusions)
    log.Summary(Format("  exclusion block %d %s%s%s%s", x.block, x.kind.c_str(),
                       x.type ? Format(" type '%c'", x.type).c_str() : "",
                       x.text.empty() ? "" : " ", x.text.c_str()));
  for (const auto& e : j.entries) {
    log.Summary(Format("  entry %d cmd=%d %s%s size=%llu data=%llu mode=%o %s", e.number, e.command,
                       TypeName(e.type), e.partial() ? " ranges" : "",
                       static_cast<unsigned long long>(e.st.st_size),
                       static_cast<unsigned long long>(e.data_len), e.st.st_mode, e.name.c_str()));
    for (const auto& r : e.ranges)
      log.Summary(Format("    range offset=%lld length=%lld", static_cast<long long>(r.offset),
                         static_cast<long long>(r.length)));
  }
  for (const auto& o : j.objects)
    log.Summary(Format("  object %s %llu bytes", o.name.c_str(),
                       static_cast<unsigned long long>(o.data_len)));
  for (const auto& c : j.checks)
    log.Summary(Format("  checked %s %s", c.seen ? "seen" : "gone", c.name.c_str()));
}

}  // namespace

int RunList(const Options& options, std::ostream& out, std::ostream& err) {
  JobLog log(out, err, options.debug);
  Archive archive(options.archive);
  std::string error;
  uint64_t entries = 0, bytes = 0, objects = 0;
  int last = 0;
  if (!archive.Open(&error)) {
    log.Fatal("the archive cannot be read: %s", error.c_str());
  } else {
    for (int id : options.jobs)
      if (!archive.Job(id)) log.Error("job %d is not in the archive", id);
    for (const auto& j : archive.jobs()) {
      if (!options.jobs.empty() &&
          std::find(options.jobs.begin(), options.jobs.end(), j.id) == options.jobs.end())
        continue;
      ListJob(j, log);
      if (!archive.Verify(j, &error)) log.Error("the archive is damaged: %s", error.c_str());
      last = j.id;
      entries += j.entries.size();
      objects += j.objects.size();
      for (const auto& e : j.entries) bytes += e.data_len;
    }
    if (options.jobs.empty()) {
      std::string chain;
      for (const ArchiveJob* j : RestoreChain(archive.jobs())) chain += Format(" %d", j->id);
      log.Summary("restore chain:" + (chain.empty() ? std::string(" none") : chain));
    }
  }
  log.Summary(Format("summary: jobid=%d entries=%llu bytes=%llu objects=%llu live_blocks=0", last,
                     static_cast<unsigned long long>(entries), static_cast<unsigned long long>(bytes),
                     static_cast<unsigned long long>(objects)));
  return log.failed() ? 1 : 0;
}
