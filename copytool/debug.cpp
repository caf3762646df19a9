#include "debug.h"

#include <memory>

namespace {

TLogHook LogHook;
TErrorDialogHook DialogHook;
std::unique_ptr<TStdError> StdErrorChannel;

bool TrailingJunk(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u <= ' ' || c == '.';
}

}  // namespace

void SetLogHook(TLogHook Hook) { LogHook = std::move(Hook); }

void Log(const std::string& Text) {
  if (LogHook) LogHook(Text);
}

std::string SystemErrorText(DWORD Code) {
  char Buffer[256] = {0};
  DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, Code, 0, Buffer, sizeof(Buffer), nullptr);
  std::string Text(Buffer, Length < sizeof(Buffer) ? Length : 0);
  while (!Text.empty() && TrailingJunk(Text.back())) Text.pop_back();
  return Text;
}

void ReportError(const std::string& What) {
  // Read the code before anything else can overwrite it.
  DWORD Code = GetLastError();
  Log("Error " + What + ": " + std::to_string(Code) + " " + SystemErrorText(Code));
}

TStdError::TStdError() : Handle(GetStdHandle(STD_ERROR_HANDLE)) {}

void TStdError::WriteLine(const std::string& Text) {
  std::string Line = Text + "\r\n";
  DWORD Written = 0;
  WriteFile(Handle, Line.data(), static_cast<DWORD>(Line.size()), &Written, nullptr);
}

void UseStdError() {
  if (!StdErrorChannel) StdErrorChannel.reset(new TStdError());
  TStdError* Channel = StdErrorChannel.get();
  SetLogHook([Channel](const std::string& Text) { Channel->WriteLine(Text); });
}

bool DebuggerAttached() {
  HMODULE Kernel = GetModuleHandleA("kernel32.dll");
  if (!Kernel) Kernel = LoadLibraryA("kernel32.dll");
  if (!Kernel) return false;
  using TIsDebuggerPresent = BOOL(WINAPI*)();
  auto Present = reinterpret_cast<TIsDebuggerPresent>(
      reinterpret_cast<void*>(GetProcAddress(Kernel, "IsDebuggerPresent")));
  return Present && Present();
}

void SetErrorDialogHook(TErrorDialogHook Hook) { DialogHook = std::move(Hook); }

void ErrorDialog(const std::string& Text, UINT Buttons) {
  Log(Text);
  if (DialogHook) {
    DialogHook(Text, Buttons);
    return;
  }
  // user32 is bound here rather than linked, so the program imports only kernel32.
  HMODULE User = LoadLibraryA("user32.dll");
  if (!User) return;
  using TMessageBoxA = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  auto Box = reinterpret_cast<TMessageBoxA>(
      reinterpret_cast<void*>(GetProcAddress(User, "MessageBoxA")));
  if (Box) Box(nullptr, Text.c_str(), "mobri", MB_ICONERROR | Buttons);
}
