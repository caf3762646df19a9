// The program's message channel and the debugger test.
#pragma once

#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>

// Receives every message line; unset means messages are dropped.
using TLogHook = std::function<void(const std::string& Text)>;

// Installs (or, with an empty hook, removes) the receiver of Log.
void SetLogHook(TLogHook Hook);

// One message line; an empty text is an empty line.
void Log(const std::string& Text);

// "Error <What>: <code> <system text>" for the calling thread's last error code.
void ReportError(const std::string& What);

// The system's message text for an error code, trimmed of trailing spaces, control
// characters and full stops; empty when the system has none.
std::string SystemErrorText(DWORD Code);

// Writes lines to the process's standard error handle.
class TStdError {
 public:
  TStdError();
  void WriteLine(const std::string& Text);
  HANDLE Handle;
};

// Routes Log to one process-wide TStdError; called once at program start.
void UseStdError();

// True when kernel32 exports IsDebuggerPresent and it reports a debugger.
bool DebuggerAttached();

// Shows an error text to the user as a dialog (error icon, one button of Buttons,
// MB_OK or MB_CANCEL) and also through Log, so it reaches a console user too.
// Tests replace the dialog with SetErrorDialogHook to keep runs non-interactive.
void ErrorDialog(const std::string& Text, UINT Buttons = MB_OK);
using TErrorDialogHook = std::function<void(const std::string& Text, UINT Buttons)>;
void SetErrorDialogHook(TErrorDialogHook Hook);

// An error raised by a lower layer that ends the program when nobody catches it.
// Kind() names the error class for the unhandled-error report.
class EMobriError : public std::runtime_error {
 public:
  explicit EMobriError(const std::string& Message) : std::runtime_error(Message) {}
  virtual const char* Kind() const { return "EMobriError"; }
};
