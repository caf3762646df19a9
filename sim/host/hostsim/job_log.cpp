#include "../../../plugin/frame/host_interface.h"

#include "job_log.h"

#include <cstdio>
#include <mutex>

namespace {
// Two jobs of one process share the standard streams: whole lines only.
std::mutex g_stream_lock;

// One line per message: the message's own line ends would split it.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}
}  // namespace

std::string FormatText(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int len = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (len <= 0) return std::string();
  std::string text(len, '\0');
  vsnprintf(&text[0], len + 1, fmt, args);
  return text;
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  return text;
}

const char* MessageTypeName(int type) {
  switch (type) {
    case JMSG_FATAL: return "FATAL";
    case JMSG_ERROR: return "ERROR";
    case JMSG_WARNING: return "WARNING";
    case JMSG_INFO: return "INFO";
    default: return nullptr;
  }
}

JobLog::JobLog(std::ostream& out, std::ostream& err, int debug_level)
    : out_(out), err_(err), debug_level_(debug_level) {}

void JobLog::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_stream_lock);
  lines_.push_back(line);
  out_ << line << '\n';
  out_.flush();
}

void JobLog::Job(int type, const std::string& text) {
  if (type == JMSG_FATAL || type == JMSG_ERROR) ++failures_;
  const char* name = MessageTypeName(type);
  // A type outside the table is kept visible rather than dropped.
  std::string prefix = name ? name : Format("TYPE%d", type);
  Write(prefix + ": " + OneLine(text));
}

void JobLog::Debug(int level, const char* file, int line, const std::string& text) {
  if (level > debug_level_) return;
  std::lock_guard<std::mutex> lock(g_stream_lock);
  err_ << (file ? file : "?") << ':' << line << " [" << level << "] " << OneLine(text) << '\n';
  err_.flush();
}

void JobLog::VJob(int type, const char* fmt, va_list args) { Job(type, FormatText(fmt, args)); }

void JobLog::Info(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VJob(JMSG_INFO, fmt, args);
  va_end(args);
}

void JobLog::Warning(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VJob(JMSG_WARNING, fmt, args);
  va_end(args);
}

void JobLog::Error(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VJob(JMSG_ERROR, fmt, args);
  va_end(args);
}

void JobLog::Fatal(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VJob(JMSG_FATAL, fmt, args);
  va_end(args);
}

void JobLog::Violation(const std::string& text) {
  ++violations_;
  Write("ERROR: contract violation: " + OneLine(text));
}

void JobLog::Summary(const std::string& text) { Write(text); }
