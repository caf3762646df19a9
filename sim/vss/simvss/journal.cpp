#include "journal.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_journal_lock;
std::string g_journal_path;

std::string Utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(n - 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace

void JournalSetPath(const char* path) {
  std::lock_guard<std::mutex> hold(g_journal_lock);
  g_journal_path = path ? path : "";
}

bool JournalEnabled() {
  std::lock_guard<std::mutex> hold(g_journal_lock);
  return !g_journal_path.empty();
}

void JournalWrite(const std::string& line) {
  std::lock_guard<std::mutex> hold(g_journal_lock);
  if (g_journal_path.empty()) return;
  // Opened per line so a reader sees every line at once and nothing is lost if the host dies.
  HANDLE file = CreateFileA(g_journal_path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string data = line + "\n";
  DWORD written = 0;
  WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);
}

void JournalMisuse(LONG object_no, const char* call, const std::wstring& what) {
  JournalWrite("misuse: #" + std::to_string(object_no) + " " + call + ": " + Utf8(what.c_str()));
}

JournalLine::JournalLine(LONG object_no, const char* call) {
  line_ = "#" + std::to_string(object_no) + " " + call + "(";
}

void JournalLine::Separate() {
  if (!first_) line_ += ", ";
  first_ = false;
}

JournalLine& JournalLine::Guid(const GUID& id) {
  Separate();
  char text[64];
  snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
           id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  line_ += text;
  return *this;
}

JournalLine& JournalLine::Text(const wchar_t* text) {
  Separate();
  if (!text) {
    line_ += "null";
    return *this;
  }
  line_ += '"';
  for (char c : Utf8(text)) {
    if (c == '"' || c == '\\') line_ += '\\';
    if (c == '\n' || c == '\r') {
      line_ += c == '\n' ? "\\n" : "\\r";
      continue;
    }
    line_ += c;
  }
  line_ += '"';
  return *this;
}

JournalLine& JournalLine::Bool(bool value) {
  Separate();
  line_ += value ? "true" : "false";
  return *this;
}

JournalLine& JournalLine::Number(long long value) {
  Separate();
  line_ += std::to_string(value);
  return *this;
}

HRESULT JournalLine::Result(HRESULT hr) {
  char text[32];
  snprintf(text, sizeof text, ") = 0x%08lx", static_cast<unsigned long>(hr));
  JournalWrite(line_ + text);
  return hr;
}
