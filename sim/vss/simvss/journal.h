// The journal: one line per state-changing call a requester makes, appended to a file so tests
// can assert what was asked of the service. Lines read
//   #<object> <Call>(<argument>, ...) = 0x<result>
// with GUIDs in braces and lower case, texts in double quotes (backslash and quote escaped, null
// texts as null), booleans as true/false, numbers in decimal; the file is UTF-8.
#pragma once

#include <windows.h>
#include <string>

// Names the journal file; null or empty turns the journal off.
void JournalSetPath(const char* path);
bool JournalEnabled();

// Builds one line and appends it when Result() is called.
class JournalLine {
 public:
  JournalLine(LONG object_no, const char* call);
  JournalLine& Guid(const GUID& id);
  JournalLine& Text(const wchar_t* text);
  JournalLine& Bool(bool value);
  JournalLine& Number(long long value);
  // Appends the line with the call's result and hands the result back.
  HRESULT Result(HRESULT hr);

 private:
  void Separate();
  std::string line_;
  bool first_ = true;
};

// A call the real service answers as asked although the requester broke a documented rule:
//   misuse: #<object> <Call>: <what was wrong>
// Hosts fail a job whose journal holds such a line.
void JournalMisuse(LONG object_no, const char* call, const std::wstring& what);

// Appends a line as given (used for events that are no call, such as snapshots deleted when
// their owner goes away).
void JournalWrite(const std::string& line);
