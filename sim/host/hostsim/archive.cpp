#include "../../../plugin/frame/host_interface.h"

#include "archive.h"
#include "job_log.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <sstream>

namespace {

const char kIndexName[] = "job.txt";
const char kIndexHeader[] = "hostsim-job 1";
const char kIncomplete[] = ".incomplete";

std::string Join(const std::string& a, const std::string& b) { return a + "\\" + b; }

bool NeedsEscape(unsigned char c) {
  return c == '%' || c == ' ' || c == '=' || c < 0x20 || c == 0x7f;
}

// key=value fields of one line after its keyword.
typedef std::map<std::string, std::string> Fields;

bool SplitFields(const std::string& line, std::string* keyword, Fields* fields) {
  std::istringstream in(line);
  if (!(in >> *keyword)) return false;
  std::string token;
  while (in >> token) {
    size_t eq = token.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string value;
    if (!UnescapeField(token.substr(eq + 1), &value)) return false;
    if (!fields->emplace(token.substr(0, eq), value).second) return false;  // a key twice
  }
  return true;
}

class FieldReader {
 public:
  explicit FieldReader(const Fields& fields) : fields_(fields) {}
  bool ok() const { return ok_; }
  const std::string& missing() const { return missing_; }

  std::string Text(const char* key) {
    auto it = fields_.find(key);
    if (it == fields_.end()) {
      Fail(key);
      return std::string();
    }
    return it->second;
  }
  int64_t Int(const char* key) { return Number(key, 10); }
  uint64_t Hex(const char* key) { return static_cast<uint64_t>(Number(key, 16)); }
  int64_t Octal(const char* key) { return Number(key, 8); }

 private:
  int64_t Number(const char* key, int base) {
    std::string text = Text(key);
    if (!ok_) return 0;
    char* end = nullptr;
    errno = 0;
    int64_t value;
    if (base == 10 && text[0] == '-')
      value = strtoll(text.c_str(), &end, 10);
    else
      value = static_cast<int64_t>(strtoull(text.c_str(), &end, base));
    if (text.empty() || errno || *end) Fail(key);
    return value;
  }
  void Fail(const char* key) {
    if (ok_) missing_ = key;
    ok_ = false;
  }
  const Fields& fields_;
  bool ok_ = true;
  std::string missing_;
};

}  // namespace

uint64_t Fnv1a(uint64_t hash, const void* data, size_t len) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < len; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string EscapeField(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (NeedsEscape(c)) {
      char buf[4];
      snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool UnescapeField(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;  // fewer than two characters follow
    unsigned char hi = text[i + 1], lo = text[i + 2];
    if (!isxdigit(hi) || !isxdigit(lo)) return false;
    char hex[3] = {static_cast<char>(hi), static_cast<char>(lo), 0};
    out->push_back(static_cast<char>(strtol(hex, nullptr, 16)));
    i += 2;
  }
  return true;
}

std::string JobFolderName(int id) {
  char buf[32];
  snprintf(buf, sizeof buf, "job-%06d", id);
  return buf;
}

std::string ReadWholeFile(const std::string& path, bool* ok) {
  std::string data;
  *ok = false;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  *ok = !ferror(f);
  fclose(f);
  return data;
}

bool MakeFolder(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return true;
  if (GetLastError() != ERROR_PATH_NOT_FOUND) return false;
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos || cut == 0) return false;
  return MakeFolder(path.substr(0, cut)) && CreateDirectoryA(path.c_str(), nullptr);
}

std::string Archive::FormatJobIndex(const ArchiveJob& job) {
  std::string out = std::string(kIndexHeader) + "\n";
  out += Format("job id=%d level=%c time=%" PRId64 " since=%" PRId64 " accurate=%d status=%s\n",
                job.id, job.level, job.time, job.since, job.accurate ? 1 : 0,
                job.ok ? "ok" : "failed");
  for (size_t i = 0; i < job.commands.size(); ++i)
    out += Format("command n=%zu text=%s\n", i + 1, EscapeField(job.commands[i]).c_str());
  for (const auto& x : job.exclusions)
    out += Format("exclusion block=%d kind=%s type=%d text=%s\n", x.block, x.kind.c_str(), x.type,
                  EscapeField(x.text).c_str());
  size_t ranges = 0;
  for (const auto& e : job.entries) {
    const struct stat& s = e.st;
    out += Format(
        "entry n=%d cmd=%d type=%d flags=%08x dev=%u ino=%" PRIu64 " mode=%o nlink=%d uid=%u gid=%u "
        "rdev=%u size=%" PRIu64 " atime=%" PRId64 " mtime=%" PRId64 " ctime=%" PRId64
        " blksize=%u blocks=%" PRIu64 " data=%s len=%" PRIu64 " fnv=%016" PRIx64 " name=%s link=%s\n",
        e.number, e.command, e.type, e.flags, s.st_dev, s.st_ino, s.st_mode, s.st_nlink, s.st_uid,
        s.st_gid, s.st_rdev, s.st_size, s.st_atime, s.st_mtime, s.st_ctime, s.st_blksize,
        s.st_blocks, e.data_file.empty() ? "-" : e.data_file.c_str(), e.data_len, e.checksum,
        EscapeField(e.name).c_str(), EscapeField(e.link).c_str());
    for (const auto& r : e.ranges) {
      out += Format("range entry=%d offset=%" PRId64 " length=%" PRId64 " at=%" PRId64 "\n",
                    e.number, r.offset, r.length, r.data_offset);
      ++ranges;
    }
  }
  for (const auto& o : job.objects)
    out += Format("object n=%d index=%d data=%s len=%" PRIu64 " fnv=%016" PRIx64 " name=%s\n",
                  o.number, o.index, o.data_file.c_str(), o.data_len, o.checksum,
                  EscapeField(o.name).c_str());
  for (const auto& c : job.checks)
    out += Format("checked answer=%s name=%s\n", c.seen ? "seen" : "gone",
                  EscapeField(c.name).c_str());
  out += Format("end entries=%zu objects=%zu ranges=%zu\n", job.entries.size(), job.objects.size(),
                ranges);
  return out;
}

bool Archive::ParseJobIndex(const std::string& text, ArchiveJob* job, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int line_no = 0;
  bool header = false, job_line = false, end = false;
  size_t ranges = 0;
  auto fail = [&](const std::string& why) {
    *error = Format("line %d: %s", line_no, why.c_str());
    return false;
  };
  while (std::getline(in, line)) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (end) return fail("text after the end line");
    if (!header) {
      if (line != kIndexHeader) return fail("not a job index (first line)");
      header = true;
      continue;
    }
    std::string keyword;
    Fields fields;
    if (!SplitFields(line, &keyword, &fields)) return fail("malformed line");
    FieldReader f(fields);
    if (keyword != "job" && !job_line) return fail("the job line must come first");
    if (keyword == "job") {
      if (job_line) return fail("a second job line");
      job_line = true;
      job->id = static_cast<int>(f.Int("id"));
      std::string level = f.Text("level");
      job->time = f.Int("time");
      job->since = f.Int("since");
      job->accurate = f.Int("accurate") != 0;
      std::string status = f.Text("status");
      if (f.ok() && (level.size() != 1 || std::string("FID").find(level[0]) == std::string::npos))
        return fail("bad level");
      if (f.ok() && status != "ok" && status != "failed") return fail("bad status");
      if (f.ok()) {
        job->level = level[0];
        job->ok = status == "ok";
      }
    } else if (keyword == "command") {
      if (f.Int("n") != static_cast<int64_t>(job->commands.size() + 1) && f.ok())
        return fail("commands out of order");
      job->commands.push_back(f.Text("text"));
    } else if (keyword == "exclusion") {
      ArchiveExclusion x;
      x.block = static_cast<int>(f.Int("block"));
      x.kind = f.Text("kind");
      x.type = static_cast<int>(f.Int("type"));
      x.text = f.Text("text");
      job->exclusions.push_back(x);
    } else if (keyword == "entry") {
      ArchiveEntry e;
      e.number = static_cast<int>(f.Int("n"));
      e.command = static_cast<int>(f.Int("cmd"));
      e.type = static_cast<int>(f.Int("type"));
      e.flags = static_cast<uint32_t>(f.Hex("flags"));
      e.st.st_dev = static_cast<uint32_t>(f.Int("dev"));
      e.st.st_ino = static_cast<uint64_t>(f.Int("ino"));
      e.st.st_mode = static_cast<uint16_t>(f.Octal("mode"));
      e.st.st_nlink = static_cast<int16_t>(f.Int("nlink"));
      e.st.st_uid = static_cast<uint32_t>(f.Int("uid"));
      e.st.st_gid = static_cast<uint32_t>(f.Int("gid"));
      e.st.st_rdev = static_cast<uint32_t>(f.Int("rdev"));
      e.st.st_size = static_cast<uint64_t>(f.Int("size"));
      e.st.st_atime = f.Int("atime");
      e.st.st_mtime = f.Int("mtime");
      e.st.st_ctime = f.Int("ctime");
      e.st.st_blksize = static_cast<uint32_t>(f.Int("blksize"));
      e.st.st_blocks = static_cast<uint64_t>(f.Int("blocks"));
      e.data_file = f.Text("data");
      if (e.data_file == "-") e.data_file.clear();
      e.data_len = static_cast<uint64_t>(f.Int("len"));
      e.checksum = f.Hex("fnv");
      e.name = f.Text("name");
      e.link = f.Text("link");
      if (f.ok() && e.number != static_cast<int>(job->entries.size() + 1))
        return fail("entries out of order");
      if (f.ok() && (e.command < 1 || e.command > static_cast<int>(job->commands.size())))
        return fail("entry of an unknown command");
      job->entries.push_back(e);
    } else if (keyword == "range") {
      ArchiveRange r;
      int64_t entry = f.Int("entry");
      r.offset = f.Int("offset");
      r.length = f.Int("length");
      r.data_offset = f.Int("at");
      if (f.ok() && (job->entries.empty() || entry != job->entries.back().number))
        return fail("range not after its entry");
      if (f.ok() && (r.offset < 0 || r.length < 0 || r.data_offset < 0)) return fail("bad range");
      if (f.ok()) job->entries.back().ranges.push_back(r);
      ++ranges;
    } else if (keyword == "object") {
      ArchiveObject o;
      o.number = static_cast<int>(f.Int("n"));
      o.index = static_cast<int>(f.Int("index"));
      o.data_file = f.Text("data");
      o.data_len = static_cast<uint64_t>(f.Int("len"));
      o.checksum = f.Hex("fnv");
      o.name = f.Text("name");
      job->objects.push_back(o);
    } else if (keyword == "checked") {
      ArchiveCheck c;
      std::string answer = f.Text("answer");
      c.name = f.Text("name");
      if (f.ok() && answer != "seen" && answer != "gone") return fail("bad answer");
      c.seen = answer == "seen";
      job->checks.push_back(c);
    } else if (keyword == "end") {
      int64_t entries = f.Int("entries"), objects = f.Int("objects"), nranges = f.Int("ranges");
      if (f.ok() && (entries != static_cast<int64_t>(job->entries.size()) ||
                     objects != static_cast<int64_t>(job->objects.size()) ||
                     nranges != static_cast<int64_t>(ranges)))
        return fail("the end line's counts do not match the index");
      end = true;
    } else {
      return fail("unknown keyword '" + keyword + "'");
    }
    if (!f.ok()) return fail("missing or bad field '" + f.missing() + "'");
  }
  if (!header) return fail("empty job index");
  if (!end) return fail("the index ends without its end line (cut short?)");
  // Data of a partial entry is exactly its ranges, laid end to end.
  for (const auto& e : job->entries) {
    if (e.ranges.empty()) continue;
    int64_t at = 0;
    for (const auto& r : e.ranges) {
      if (r.data_offset != at) return fail("ranges of entry " + e.name + " do not follow each other");
      at += r.length;
    }
    if (static_cast<uint64_t>(at) != e.data_len) return fail("ranges of entry " + e.name + " do not cover its data");
  }
  return true;
}

bool Archive::Open(std::string* error) {
  jobs_.clear();
  DWORD attributes = GetFileAttributesA(folder_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = "archive folder " + folder_ + " does not exist";
    return false;
  }
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(Join(folder_, "job-*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
      if (name.size() != 10) continue;  // the ".incomplete" folders of jobs that never ended
      ArchiveJob job;
      job.folder = Join(folder_, name);
      bool ok;
      std::string text = ReadWholeFile(Join(job.folder, kIndexName), &ok);
      if (!ok) {
        *error = job.folder + ": cannot read " + kIndexName;
        FindClose(find);
        return false;
      }
      std::string why;
      if (!ParseJobIndex(text, &job, &why)) {
        *error = Join(job.folder, kIndexName) + " is damaged: " + why;
        FindClose(find);
        return false;
      }
      if (JobFolderName(job.id) != name) {
        *error = job.folder + " holds the index of job " + std::to_string(job.id);
        FindClose(find);
        return false;
      }
      jobs_.push_back(std::move(job));
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  std::sort(jobs_.begin(), jobs_.end(),
            [](const ArchiveJob& a, const ArchiveJob& b) { return a.id < b.id; });
  return true;
}

const ArchiveJob* Archive::Job(int id) const {
  for (const auto& job : jobs_)
    if (job.id == id) return &job;
  return nullptr;
}

int Archive::NextJobId() const { return jobs_.empty() ? 1 : jobs_.back().id + 1; }

bool Archive::ReadData(const ArchiveJob& job, const std::string& file, uint64_t len,
                       std::string* out) const {
  bool ok;
  *out = ReadWholeFile(Join(job.folder, file), &ok);
  return ok && out->size() == len;
}

bool Archive::Verify(const ArchiveJob& job, std::string* error) const {
  auto check = [&](const std::string& file, uint64_t len, uint64_t checksum, const std::string& what) {
    std::string path = Join(job.folder, file);
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
      *error = Format("job %d: data file %s of %s is missing", job.id, file.c_str(), what.c_str());
      return false;
    }
    uint64_t hash = kFnvStart, total = 0;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
      hash = Fnv1a(hash, buf, n);
      total += n;
    }
    fclose(f);
    if (total != len) {
      *error = Format("job %d: data file %s of %s has %llu bytes instead of %llu", job.id,
                      file.c_str(), what.c_str(), static_cast<unsigned long long>(total),
                      static_cast<unsigned long long>(len));
      return false;
    }
    if (hash != checksum) {
      *error = Format("job %d: data file %s of %s does not match its checksum", job.id,
                      file.c_str(), what.c_str());
      return false;
    }
    return true;
  };
  for (const auto& e : job.entries)
    if (!e.data_file.empty() && !check(e.data_file, e.data_len, e.checksum, e.name)) return false;
  for (const auto& o : job.objects)
    if (!check(o.data_file, o.data_len, o.checksum, "restore object " + o.name)) return false;
  return true;
}

ArchiveJobWriter::ArchiveJobWriter(const std::string& archive_folder, ArchiveJob job)
    : archive_folder_(archive_folder), job_(std::move(job)) {
  std::string final_folder = Join(archive_folder_, JobFolderName(job_.id));
  folder_ = final_folder + kIncomplete;
  job_.folder = final_folder;
  if (!MakeFolder(folder_) || !MakeFolder(Join(folder_, "data")) ||
      !MakeFolder(Join(folder_, "objects")))
    Fail("cannot create the job folder " + folder_);
}

ArchiveJobWriter::~ArchiveJobWriter() {
  if (data_) fclose(data_);
}

bool ArchiveJobWriter::Fail(const std::string& error) {
  if (ok_) error_ = error;
  ok_ = false;
  return false;
}

ArchiveEntry& ArchiveJobWriter::AddEntry(ArchiveEntry entry) {
  EndEntryData();
  entry.number = static_cast<int>(job_.entries.size() + 1);
  entry.checksum = kFnvStart;
  job_.entries.push_back(std::move(entry));
  return job_.entries.back();
}

bool ArchiveJobWriter::AppendData(const char* data, size_t len) {
  if (!ok_ || job_.entries.empty()) return false;
  ArchiveEntry& e = job_.entries.back();
  if (!data_) {
    e.data_file = Format("data/%06d.bin", e.number);
    data_ = fopen(Join(folder_, e.data_file).c_str(), "wb");
    if (!data_) return Fail("cannot create " + e.data_file);
  }
  if (len && fwrite(data, 1, len, data_) != len) return Fail("cannot write " + e.data_file);
  e.checksum = Fnv1a(e.checksum, data, len);
  e.data_len += len;
  return true;
}

bool ArchiveJobWriter::AppendRange(int64_t offset, const char* data, size_t len) {
  if (!ok_ || job_.entries.empty()) return false;
  ArchiveEntry& e = job_.entries.back();
  // Reads that continue the previous range extend it.
  if (!e.ranges.empty() && e.ranges.back().offset + e.ranges.back().length == offset) {
    e.ranges.back().length += static_cast<int64_t>(len);
  } else {
    ArchiveRange r;
    r.offset = offset;
    r.length = static_cast<int64_t>(len);
    r.data_offset = static_cast<int64_t>(e.data_len);
    e.ranges.push_back(r);
  }
  return AppendData(data, len);
}

bool ArchiveJobWriter::EndEntryData() {
  if (!data_) return ok_;
  bool closed = fclose(data_) == 0;
  data_ = nullptr;
  return closed ? ok_ : Fail("cannot write data of " + job_.entries.back().name);
}

void ArchiveJobWriter::DropLastEntry() {
  EndEntryData();
  if (job_.entries.empty()) return;
  if (!job_.entries.back().data_file.empty())
    DeleteFileA(Join(folder_, job_.entries.back().data_file).c_str());
  job_.entries.pop_back();
}

bool ArchiveJobWriter::AddObject(const std::string& name, int index, const char* data, size_t len) {
  EndEntryData();
  if (!ok_) return false;
  ArchiveObject o;
  o.number = static_cast<int>(job_.objects.size() + 1);
  o.name = name;
  o.index = index;
  o.data_file = Format("objects/%06d.bin", o.number);
  o.data_len = len;
  o.checksum = Fnv1a(kFnvStart, data, len);
  FILE* f = fopen(Join(folder_, o.data_file).c_str(), "wb");
  if (!f) return Fail("cannot create " + o.data_file);
  bool written = (len == 0 || fwrite(data, 1, len, f) == len);
  if (fclose(f) != 0 || !written) return Fail("cannot write " + o.data_file);
  job_.objects.push_back(o);
  return true;
}

bool ArchiveJobWriter::Commit() {
  EndEntryData();
  if (!ok_) return false;
  std::string index = Archive::FormatJobIndex(job_);
  FILE* f = fopen(Join(folder_, kIndexName).c_str(), "wb");
  if (!f) return Fail("cannot create the job index");
  bool written = fwrite(index.data(), 1, index.size(), f) == index.size();
  if (fclose(f) != 0 || !written) return Fail("cannot write the job index");
  if (!MoveFileA(folder_.c_str(), job_.folder.c_str()))
    return Fail("cannot rename " + folder_ + " to " + job_.folder);
  return true;
}
