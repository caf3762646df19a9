#include "mobri.h"

#include <windows.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "debug.h"
#include "mobri_cmdline.h"
#include "mobri_copy.h"
#include "volume.h"

// Printed through Log like every message, so data piped through standard output stays clean.
const char* const MobriBanner[2] = {
    "mobri 1.0 - raw block copy and block device list",
    "by the snaptree developers; report problems through the snaptree issue tracker"};

namespace {

// The routine of the step under way, shown as the address of an error nobody handled.
const void* StepAddress = nullptr;

template <typename TRoutine>
void EnterStep(TRoutine* Routine) {
  StepAddress = reinterpret_cast<const void*>(Routine);
}

std::string BaseName(const std::string& Path) {
  size_t Slash = Path.find_last_of("\\/:");
  return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

std::string ReadableTypeName(const std::type_info& Type) {
  int Status = 0;
  char* Name = abi::__cxa_demangle(Type.name(), nullptr, nullptr, &Status);
  std::string Text = Status == 0 && Name ? Name : Type.name();
  std::free(Name);
  return Text;
}

// Standard output, not the message channel: the report must reach a user whose standard
// error is gone.
void ReportUnhandledError(const std::string& Kind, const std::string& Module,
                          const std::string& Message) {
  char Head[512];
  snprintf(Head, sizeof(Head), "Exception %s in module %s at %p.", Kind.c_str(), Module.c_str(),
           StepAddress);
  std::string Report = std::string(Head) + "\r\n" + Message + "\r\n";
  DWORD Written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), Report.data(), static_cast<DWORD>(Report.size()),
            &Written, nullptr);
}

bool QueryIsWin95() {
  OSVERSIONINFOA Version = {};
  Version.dwOSVersionInfoSize = sizeof(Version);
  static_assert(sizeof(OSVERSIONINFOA) == 148, "version record");
  if (!GetVersionExA(&Version)) {
    Log("Could not get Version info!");
    return false;
  }
  return Version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

// False when a removal failed; only a run that does nothing else reports that.
bool RemoveMountPoints(const Options& Settings) {
  bool Removed = true;
  for (const std::string& MountPoint : Settings.UnmountList) {
    EnterStep(&LoadVolumeFunctions);
    LoadVolumeFunctions();
    // Before a copy, removing what is not mounted is no reason to stop; nothing is shown.
    if (VolumeFunctions.DeleteVolumeMountPointA(MountPoint.c_str())) continue;
    if (Settings.Action == TAction::Unmount) ReportError("removing mount point " + MountPoint);
    Removed = false;
  }
  return Removed;
}

bool RunCopy(Options& Settings) {
  if (!Settings.Filter.empty() && !OutputMatchesFilter(Settings.OutFile, Settings.Filter)) {
    Log("Output file does not match device filter '" + Settings.Filter + "'");
    Log("mobri will not continue");
    Settings.BlockSize = 0;
  }
  // Byte offsets that do not fit must not wrap into plausible ones.
  bool SkipFits = !__builtin_mul_overflow(Settings.Skip, Settings.BlockSize, &Settings.Skip);
  bool SeekFits = !__builtin_mul_overflow(Settings.Seek, Settings.BlockSize, &Settings.Seek);
  if (Settings.BlockSize <= 0) {
    Log("Invalid block size");
    return false;
  }
  if (!SkipFits || !SeekFits) {
    Log(SkipFits ? "Invalid seek: the output offset does not fit in 64 bits"
                 : "Invalid skip: the input offset does not fit in 64 bits");
    return false;
  }
  EnterStep(&CopyData);
  if (!Settings.Progress)
    return CopyData(Settings.InFile, Settings.OutFile, Settings.CheckSize, nullptr,
                    Settings.Seek, Settings.Skip, Settings.Count, Settings.BlockSize);
  TMobriProgress* Progress = new TMobriProgress();
  Progress->BlockSize = Settings.BlockSize;
  Progress->Count = Settings.Count;
  Progress->SetUnit(Settings.BlockSizeText);
  // The line must never end up inside the copied data.
  if (Settings.OutFile == "-") Progress->Channel = STD_ERROR_HANDLE;
  bool Copied = CopyData(Settings.InFile, Settings.OutFile, Settings.CheckSize,
                         [Progress](DWORD ErrorCode, int64_t Total, bool Final) {
                           return Progress->ShowProgress(ErrorCode, Total, Final);
                         },
                         Settings.Seek, Settings.Skip, Settings.Count, Settings.BlockSize);
  delete Progress;
  return Copied;
}

void WaitForEnter() {
  Log("Press enter to close");
  HANDLE Input = GetStdHandle(STD_INPUT_HANDLE);
  char c = 0;
  DWORD Got = 0;
  while (ReadFile(Input, &c, 1, &Got, nullptr) && Got == 1 && c != '\n') {
  }
}

// True when the run did what its arguments asked.
bool RunMainFlow(const std::string& ProgramPath, const std::vector<std::string>& Arguments) {
  for (const char* Line : MobriBanner) Log(Line);

  std::vector<std::string> ArgList;
  std::string Preset = FilterArgumentFromProgramName(ProgramPath);
  if (!Preset.empty()) ArgList.push_back(Preset);

  // An empty drive then yields an error code instead of a dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS);

  Options Settings;
  Settings.IsWin95 = QueryIsWin95();
  ArgList.insert(ArgList.end(), Arguments.begin(), Arguments.end());

  EnterStep(&ParseArgument);
  for (const std::string& Argument : ArgList) ParseArgument(Argument, Settings);

  // Usage in place of a copy (no input name, or one that did not resolve) is a refusal.
  if (Settings.Action == TAction::Copy && Settings.InFile.empty()) {
    Settings.Action = Settings.UnmountList.empty() ? TAction::Usage : TAction::Unmount;
    Settings.Refused = Settings.Refused || Settings.Action == TAction::Usage;
  }
  bool Removed = true;
  if (Settings.Action == TAction::Copy || Settings.Action == TAction::Unmount)
    Removed = RemoveMountPoints(Settings);

  bool Done = true;
  switch (Settings.Action) {
    case TAction::Usage:
      PrintUsage();
      break;
    case TAction::List:
      EnterStep(&ListDevices);
      ListDevices(Settings.Filter, Settings.IsWin95);
      Done = !Settings.IsWin95;  // the list refuses to run there
      break;
    case TAction::Copy:
      Done = RunCopy(Settings);
      break;
    case TAction::Unmount:
      Done = Removed;
      break;
  }

  if (DebuggerAttached()) WaitForEnter();
  return Done && !Settings.Refused;
}

}  // namespace

int RunMobri(const std::string& ProgramPath, const std::vector<std::string>& Arguments) {
  std::string Module = BaseName(ProgramPath);
  try {
    if (!RunMainFlow(ProgramPath, Arguments)) return 1;
  } catch (const EMobriError& Error) {
    ReportUnhandledError(Error.Kind(), Module, Error.what());
    return 1;
  } catch (const std::exception& Error) {
    ReportUnhandledError(ReadableTypeName(typeid(Error)), Module, Error.what());
    return 1;
  } catch (...) {
    ReportUnhandledError("unknown", Module, "");
    return 1;
  }
  return 0;
}

int MobriMain(int argc, char* argv[]) {
  UseStdError();
  char Path[MAX_PATH] = {0};
  DWORD Length = GetModuleFileNameA(nullptr, Path, sizeof(Path));
  std::string ProgramPath = Length > 0 && Length < sizeof(Path) ? Path : (argc > 0 ? argv[0] : "");
  return RunMobri(ProgramPath, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
