// The job log of one job: JobMessages on the output stream ("TYPE: text"), debug messages on
// the error stream when their level is within the job's debug level.
#pragma once

#include <cstdarg>
#include <ostream>
#include <string>
#include <vector>

class JobLog {
 public:
  // debug_level -1 shows no debug message at all.
  JobLog(std::ostream& out, std::ostream& err, int debug_level);

  void Job(int type, const std::string& text);
  void Debug(int level, const char* file, int line, const std::string& text);

  // The host's own messages.
  void Info(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
  void Warning(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
  void Error(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
  void Fatal(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
  void Violation(const std::string& text);
  void Summary(const std::string& text);

  bool failed() const { return failures_ > 0 || violations_ > 0; }
  int violations() const { return violations_; }
  int debug_level() const { return debug_level_; }
  // Every line written to the output stream, without its line end.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  void Write(const std::string& line);
  void VJob(int type, const char* fmt, va_list args);

  std::ostream& out_;
  std::ostream& err_;
  int debug_level_;
  int failures_ = 0;
  int violations_ = 0;
  std::vector<std::string> lines_;
};

std::string FormatText(const char* fmt, va_list args);
std::string Format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
const char* MessageTypeName(int type);
