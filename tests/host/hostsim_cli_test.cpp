// The command line as scripts meet it: hostsim.exe started as its own process.
#include "options.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

struct Process {
  DWORD status = 0xffffffff;
  std::string out;
};

// Runs the program with its standard output in a file (no pipe to drain while it runs).
Process Start(const std::string& command_line) {
  Process result;
  char out_name[MAX_PATH];
  GetTempFileNameA(".", "hso", 0, out_name);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(out_name, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  std::string line = command_line;
  // Under a loaded Wine server a start can fail now and then; what failed is kept for the report.
  DWORD start_error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
      WaitForSingleObject(pi.hProcess, 120000);
      GetExitCodeProcess(pi.hProcess, &result.status);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
      start_error = 0;
      break;
    }
    start_error = GetLastError();
    Sleep(100);
  }
  CloseHandle(out);
  result.out = ScratchArchive::ReadFile(out_name);
  if (start_error) result.out += "CreateProcess failed with " + std::to_string(start_error) + "\n";
  DeleteFileA(out_name);
  return result;
}

TEST(CommandLine, UsageErrorsExitWithTwoAndTheUsageText) {
  for (const char* args : {"", " frobnicate", " backup --archive x --machine m",
                           " backup --archive x --machine m --command c --level X",
                           " list --archive x --level F", " restore --archive x --machine m --jobs 1,,2"}) {
    Process p = Start(std::string("hostsim.exe") + args);
    EXPECT_EQ(p.status, 2u) << args;
    EXPECT_THAT(p.out, HasSubstr("usage:\n  hostsim backup  --machine FILE")) << args;
  }
}

TEST(CommandLine, AJobEndsWithItsSummaryAndExitsWithZero) {
  ScratchArchive scratch("cli");
  Process p = Start("hostsim.exe backup --machine none.xml --archive " + scratch.path() +
                    " --plugin testplugin.dll --vss none --command test:/t/");
  EXPECT_EQ(p.status, 0u) << p.out;
  EXPECT_THAT(p.out, testing::EndsWith("summary: jobid=1 entries=8 bytes=156115 objects=1 live_blocks=0\n"));
  p = Start("hostsim.exe restore --machine none.xml --archive " + scratch.path() +
            " --jobs 2 --plugin testplugin.dll --vss none");
  EXPECT_EQ(p.status, 1u);
  EXPECT_THAT(p.out, HasSubstr("FATAL: job 2 is not in the archive"));
}

TEST(CommandLine, DefaultsAreFullLevelNoDebugAndTheDllsBesideTheProgram) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"backup", "--machine", "m", "--archive", "a", "--command", "c1",
                            "--command", "c2"},
                           &o, &error))
      << error;
  EXPECT_EQ(o.level, 'F');
  EXPECT_EQ(o.debug, -1);
  EXPECT_TRUE(o.plugin.empty());
  EXPECT_TRUE(o.vss.empty());
  EXPECT_EQ(o.commands, (std::vector<std::string>{"c1", "c2"}));
  ASSERT_TRUE(ParseOptions({"restore", "--machine", "m", "--archive", "a", "--jobs", "3,1",
                            "--where", "", "--regexwhere", "s/a/b/", "--select", "*.txt",
                            "--all-versions", "--select", "/a/?"},
                           &o, &error));
  EXPECT_EQ(o.jobs, (std::vector<int>{3, 1}));
  EXPECT_TRUE(o.where_given);
  EXPECT_EQ(o.where, "");
  EXPECT_EQ(o.regexwhere, "s/a/b/");
  EXPECT_EQ(o.select, (std::vector<std::string>{"*.txt", "/a/?"}));
  EXPECT_TRUE(o.all_versions);
}

TEST(CommandLine, JobOptionsBelongToTheirActions) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"restore", "--machine", "m", "--archive", "a", "--cancel-after", "4",
                            "--virtual-time"}, &o, &error)) << error;
  EXPECT_EQ(o.cancel_after, 4);
  EXPECT_TRUE(o.virtual_time);
  EXPECT_FALSE(ParseOptions({"restore", "--machine", "m", "--archive", "a", "--partial-files"}, &o, &error));
  EXPECT_FALSE(ParseOptions({"backup", "--machine", "m", "--archive", "a", "--command", "c",
                             "--cancel-after", "0"}, &o, &error));
  ASSERT_TRUE(ParseOptions({"backup", "--machine", "m", "--archive", "a", "--command", "c",
                            "--after-snapshot", "x.cmd", "--partial-files"}, &o, &error));
  EXPECT_EQ(o.after_snapshot, "x.cmd");
  EXPECT_TRUE(o.partial_files);
}

}  // namespace
