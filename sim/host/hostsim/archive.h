// The bench host's archive: a folder per job with a text index (job.txt) and one data file per
// entry or restore object. README.md beside this file describes the format.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ArchiveRange {
  int64_t offset = 0;       // position in the original file
  int64_t length = 0;
  int64_t data_offset = 0;  // position in the entry's data file
};

struct ArchiveEntry {
  int number = 0;
  int command = 0;  // 1-based index into the job's commands
  std::string name;
  std::string link;
  int type = 0;
  uint32_t flags = 0;
  struct stat st {};
  std::string data_file;  // relative to the job folder; empty when the entry has no data
  uint64_t data_len = 0;
  uint64_t checksum = 0;
  std::vector<ArchiveRange> ranges;

  bool partial() const { return (flags & SAVE_FLAGS_PARTIAL) == SAVE_FLAGS_PARTIAL; }
};

struct ArchiveObject {
  int number = 0;
  std::string name;
  int index = 0;
  std::string data_file;
  uint64_t data_len = 0;
  uint64_t checksum = 0;
};

struct ArchiveExclusion {
  int block = 0;  // NewOptions blocks, from 1; 0 before the first
  std::string kind;  // options, regex, wild, exclude, include, newinclude, newpreinclude
  int type = 0;
  std::string text;
};

struct ArchiveCheck {  // accurate mode: the plug-in's answer for an entry this job did not send
  std::string name;
  bool seen = false;
};

struct ArchiveJob {
  int id = 0;
  char level = 'F';
  int64_t time = 0;
  int64_t since = 0;
  bool accurate = false;
  bool ok = true;
  std::vector<std::string> commands;
  std::vector<ArchiveEntry> entries;
  std::vector<ArchiveObject> objects;
  std::vector<ArchiveExclusion> exclusions;
  std::vector<ArchiveCheck> checks;
  std::string folder;  // full path of the job folder
};

// Checksum of data files: 64-bit FNV-1a.
uint64_t Fnv1a(uint64_t hash, const void* data, size_t len);
const uint64_t kFnvStart = 0xcbf29ce484222325ULL;

// Text fields are escaped so that a line splits at spaces: '%', blanks, '=' and control
// characters become %XX.
std::string EscapeField(const std::string& text);
bool UnescapeField(const std::string& text, std::string* out);

std::string JobFolderName(int id);

class Archive {
 public:
  explicit Archive(std::string folder) : folder_(std::move(folder)) {}

  // Reads every job index completely; a job index that does not parse is an error.
  bool Open(std::string* error);
  const std::string& folder() const { return folder_; }
  const std::vector<ArchiveJob>& jobs() const { return jobs_; }
  const ArchiveJob* Job(int id) const;
  int NextJobId() const;
  // Checks the length and checksum of every data file of the job.
  bool Verify(const ArchiveJob& job, std::string* error) const;
  // Reads a data file whole (restore objects).
  bool ReadData(const ArchiveJob& job, const std::string& file, uint64_t len, std::string* out) const;

  static bool ParseJobIndex(const std::string& text, ArchiveJob* job, std::string* error);
  static std::string FormatJobIndex(const ArchiveJob& job);

 private:
  std::string folder_;
  std::vector<ArchiveJob> jobs_;
};

// Writes one job: data files as they arrive, the index when the job is committed. Until then the
// folder carries the suffix ".incomplete", which Open passes over.
class ArchiveJobWriter {
 public:
  ArchiveJobWriter(const std::string& archive_folder, ArchiveJob job);
  ~ArchiveJobWriter();
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  ArchiveJob& job() { return job_; }

  // Data of the entry added last: plain bytes, or one byte range at `offset`.
  ArchiveEntry& AddEntry(ArchiveEntry entry);
  bool AppendData(const char* data, size_t len);
  bool AppendRange(int64_t offset, const char* data, size_t len);
  bool EndEntryData();
  // Forgets the entry added last with its data.
  void DropLastEntry();
  bool AddObject(const std::string& name, int index, const char* data, size_t len);
  bool Commit();

 private:
  bool Fail(const std::string& error);
  std::string archive_folder_;
  std::string folder_;  // the ".incomplete" folder while writing
  ArchiveJob job_;
  FILE* data_ = nullptr;
  bool ok_ = true;
  std::string error_;
};

std::string ReadWholeFile(const std::string& path, bool* ok);
bool MakeFolder(const std::string& path);
