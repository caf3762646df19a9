// Helpers for tests that run the bench host in-process: a scratch archive that removes itself,
// and one call that runs the program and keeps what it wrote.
#pragma once

#include "jobs.h"

#include <windows.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// ASCII text widened as is, and lowered: paths of the tests' scratch folders compared the way
// Windows compares them.
inline std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

struct HostsimRun {
  int status = -1;
  std::string out;
  std::string err;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string LastLine() const {
    auto lines = Lines();
    return lines.empty() ? std::string() : lines.back();
  }
};

inline HostsimRun RunHostsimCaptured(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  HostsimRun run;
  run.status = RunHostsim(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

// A fresh archive folder on C: (the plug-ins write their restores below its working folder).
class ScratchArchive {
 public:
  explicit ScratchArchive(const std::string& name)
      : path_("C:\\hostsim-test\\" + name + "-" + std::to_string(GetCurrentProcessId())) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::create_directories(path_, ignored);
  }
  ~ScratchArchive() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::remove("C:\\hostsim-test", ignored);  // only when no other test uses it
  }
  const std::string& path() const { return path_; }
  std::string Working(const std::string& rel = "") const {
    return path_ + "\\working" + (rel.empty() ? "" : "\\" + rel);
  }
  std::string Restored(const std::string& virtual_name) const {
    std::string local = Working("restored");
    for (char c : virtual_name) local += c == '/' ? '\\' : c;
    return local;
  }
  std::string Journal() const { return ReadFile(Working("testplugin-journal.txt")); }
  void ClearJournal() const { DeleteFileA(Working("testplugin-journal.txt").c_str()); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
};

inline std::vector<std::string> JournalLines(const std::string& journal) {
  std::vector<std::string> lines;
  std::istringstream in(journal);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}
