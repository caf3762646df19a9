// mobri run as a real process: real files, pipes for its standard handles, its exit status.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "mobri.h"
#include "mobri_test_files.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

struct TRun {
  std::string Out;
  std::string Err;
  DWORD ExitCode = 0xFFFFFFFF;
};

std::string ProgramFolder() {
  char Path[MAX_PATH];
  DWORD Length = GetModuleFileNameA(nullptr, Path, MAX_PATH);
  std::string Text(Path, Length);
  return Text.substr(0, Text.find_last_of('\\'));
}

std::string Quote(const std::string& Argument) {
  return Argument.find(' ') == std::string::npos ? Argument : "\"" + Argument + "\"";
}

std::string Drain(HANDLE Pipe) {
  std::string Data;
  char Chunk[65536];
  DWORD Got = 0;
  while (ReadFile(Pipe, Chunk, sizeof(Chunk), &Got, nullptr) && Got > 0) Data.append(Chunk, Got);
  return Data;
}

// Waits until nothing is left in the pipe, at most ten seconds, then PauseMs more.
void WaitUntilTaken(HANDLE PipeReadEnd, DWORD PauseMs) {
  DWORD Left = 1;
  for (int Tries = 0; Tries < 1000 && Left > 0; ++Tries) {
    if (!PeekNamedPipe(PipeReadEnd, nullptr, 0, nullptr, &Left, nullptr)) break;
    if (Left > 0) Sleep(10);
  }
  Sleep(PauseMs);
}

// Runs Program with Arguments; standard input receives Pieces one after another, each
// after the program has taken all of the one before and a further pause, then ends.
TRun RunProgram(const std::string& Program, const std::vector<std::string>& Arguments,
                const std::vector<std::string>& Pieces = {}, DWORD PauseMs = 0) {
  SECURITY_ATTRIBUTES Inherit = {sizeof(Inherit), nullptr, TRUE};
  HANDLE InRead, InWrite, OutRead, OutWrite, ErrRead, ErrWrite;
  CreatePipe(&InRead, &InWrite, &Inherit, 0);
  CreatePipe(&OutRead, &OutWrite, &Inherit, 0);
  CreatePipe(&ErrRead, &ErrWrite, &Inherit, 0);
  for (HANDLE Own : {InWrite, OutRead, ErrRead}) SetHandleInformation(Own, HANDLE_FLAG_INHERIT, 0);

  std::string CommandLine = Quote(Program);
  for (const std::string& Argument : Arguments) CommandLine += " " + Quote(Argument);
  STARTUPINFOA Startup = {};
  Startup.cb = sizeof(Startup);
  Startup.dwFlags = STARTF_USESTDHANDLES;
  Startup.hStdInput = InRead;
  Startup.hStdOutput = OutWrite;
  Startup.hStdError = ErrWrite;
  PROCESS_INFORMATION Process = {};
  TRun Run;
  BOOL Started = CreateProcessA(Program.c_str(), &CommandLine[0], nullptr, nullptr, TRUE, 0,
                                nullptr, nullptr, &Startup, &Process);
  CloseHandle(OutWrite);
  CloseHandle(ErrWrite);
  EXPECT_TRUE(Started) << "cannot start " << Program << ": " << GetLastError();

  std::thread Feeder([&] {
    for (size_t i = 0; i < Pieces.size(); ++i) {
      if (i > 0) WaitUntilTaken(InRead, PauseMs);
      DWORD Put = 0;
      WriteFile(InWrite, Pieces[i].data(), static_cast<DWORD>(Pieces[i].size()), &Put, nullptr);
    }
    CloseHandle(InWrite);
    CloseHandle(InRead);
  });
  std::thread ErrReader([&] { Run.Err = Drain(ErrRead); });
  Run.Out = Drain(OutRead);
  ErrReader.join();
  Feeder.join();
  CloseHandle(OutRead);
  CloseHandle(ErrRead);
  if (Started) {
    WaitForSingleObject(Process.hProcess, INFINITE);
    GetExitCodeProcess(Process.hProcess, &Run.ExitCode);
    CloseHandle(Process.hProcess);
    CloseHandle(Process.hThread);
  }
  return Run;
}

const std::string Banner = Lines({MobriBanner[0], MobriBanner[1]});

const std::string Usage = Lines(
    {"mobri [bs=SIZE] [count=BLOCKS] [if=FILE] [of=FILE] [seek=BLOCKS] [skip=BLOCKS] [--size] "
     "[--list] [--progress]",
     "SIZE and BLOCKS may have one of the following suffix:", " k = 1024", " M = 1048576",
     " G = 1073741824", "default block size (bs) is 512 bytes",
     "skip specifies the starting offset of the input file (if)",
     "seek specifies the starting offset of the output file (of)"});

std::string Records(const std::string& In, const std::string& Out) {
  return Lines({In + " records in", Out + " records out"});
}

class MobriProcess : public ::testing::Test {
 protected:
  TRun Mobri(const std::vector<std::string>& Arguments, const std::string& Input = "") {
    return RunProgram(ProgramFolder() + "\\mobri.exe", Arguments, {Input});
  }
  // A file in the scratch folder holding Data; answers its path.
  std::string Given(const std::string& Name, const std::string& Data) {
    WriteWholeFile(Scratch.File(Name), Data);
    return Scratch.File(Name);
  }
  TScratchFolder Scratch;
};

// --- Command line ------------------------------------------------------------------------

TEST_F(MobriProcess, NoArgumentsCopiesStandardInputToStandardOutputByteExact) {
  std::string Data = BinaryPattern(1000);
  TRun Run = Mobri({}, Data);
  EXPECT_EQ(Run.Out, Data);
  EXPECT_EQ(Run.Err, Banner + Records("1+1", "1+1"));
  EXPECT_EQ(Run.ExitCode, 0u);
}

TEST_F(MobriProcess, HelpOrAnEmptyInputNamePrintsTheUsageTextAndTheLastActionWins) {
  // Usage asked for ends with 0; usage in place of a copy with 1.
  for (auto Arguments :
       {std::vector<std::string>{"--help"}, {"-h"}, {"--list", "--help"}, {"if="}}) {
    TRun Run = Mobri(Arguments);
    EXPECT_EQ(Run.Err, Banner + Usage) << Arguments.back();
    EXPECT_EQ(Run.Out, "");
    EXPECT_EQ(Run.ExitCode, Arguments[0] == "if=" ? 1u : 0u);
  }
  TRun Run = Mobri({"--help", "--list"});
  EXPECT_THAT(Run.Err, HasSubstr("NT Block Device Objects"));
  EXPECT_THAT(Run.Err, Not(HasSubstr(" k = 1024")));
  EXPECT_EQ(Run.ExitCode, 0u);
}

TEST_F(MobriProcess, UnknownOperandsAreEachReportedThenUsage) {
  TRun Run = Mobri({"--list=x", "if", "IF=x", "--filter=Disk"});
  EXPECT_EQ(Run.Err, Banner +
                         Lines({"Unknown command --list=x", "Unknown command if",
                                "Unknown command IF=x", "Invalid filter"}) +
                         Usage);
  EXPECT_EQ(Run.ExitCode, 1u);

  // A refused argument fails the run even when a later one picks an action that works.
  EXPECT_EQ(Mobri({"--bogus", "--list"}).ExitCode, 1u);
}

TEST_F(MobriProcess, MalformedBlockOperandsAreRefusedBeforeAnythingIsOpened) {
  std::string Out = Scratch.File("out");
  for (const char* Operand :
       {"seek=2K", "seek=-1", "seek=1.5", "seek=0x2", "seek=99999999999999999999", "seek=",
        "seek=9223372036854775807k", "skip=1e3", "skip=-2", "count=1kb", "count=-1"}) {
    TRun Run = Mobri({"if=/dev/zero", "of=" + Out, "count=1", Operand});
    std::string Text(Operand);
    EXPECT_EQ(Run.Err, Banner +
                           Lines({"Invalid " + Text +
                                  ": BLOCKS must be a whole number from 0 to "
                                  "9223372036854775807, optionally followed by c, w, d, q, k, "
                                  "M or G"}) +
                           Usage)
        << Operand;
    EXPECT_EQ(Run.ExitCode, 1u) << Operand;
    EXPECT_FALSE(FileExists(Out)) << Operand;
  }
}

TEST_F(MobriProcess, InvalidBlockSizesCopyNothing) {
  std::string Out = Scratch.File("out");
  struct {
    const char* Operand;
    const char* Messages;
  } Cases[] = {{"bs=0", ""},
               {"bs=-5", ""},
               {"bs=1K", "Unknown suffix K\r\n"},
               {"bs=abc", "Unknown suffix abc\r\n"},
               // A product too large for 64 bits is never wrapped.
               {"bs=9007199254740992k", ""}};
  for (const auto& Case : Cases) {
    TRun Run = Mobri({Case.Operand, "if=/dev/zero", "of=" + Out, "count=1"});
    EXPECT_EQ(Run.Err, Banner + Case.Messages + Lines({"Invalid block size"})) << Case.Operand;
    EXPECT_EQ(Run.ExitCode, 1u);
    EXPECT_FALSE(FileExists(Out)) << Case.Operand;
  }
}

TEST_F(MobriProcess, BlockSizeBeyondTheBufferLengthIsRefusedClearly) {
  std::string Out = Scratch.File("out");
  for (const char* Operand : {"bs=4G", "bs=2G", "bs=4294967808"}) {
    TRun Run = Mobri({Operand, "if=/dev/zero", "of=" + Out, "count=1"});
    EXPECT_THAT(Run.Err, HasSubstr("is too large: a block holds at most 2147483647 bytes\r\n"))
        << Operand;
    EXPECT_THAT(Run.Err, Not(HasSubstr("records")));
    EXPECT_EQ(Run.ExitCode, 1u);
    EXPECT_FALSE(FileExists(Out));
  }
}

TEST_F(MobriProcess, FilterPresetByTheProgramNameRefusesANonMatchingOutput) {
  std::string Renamed = Scratch.File("MOBRI-FIXED.EXE");
  ASSERT_TRUE(CopyFileA((ProgramFolder() + "\\mobri.exe").c_str(), Renamed.c_str(), FALSE));
  std::string Out = Scratch.File("image");
  TRun Run = RunProgram(Renamed, {"if=/dev/zero", "of=" + Out, "count=1"});
  EXPECT_EQ(Run.Err, Banner + Lines({"Output file does not match device filter 'fixed'",
                                     "mobri will not continue", "Invalid block size"}));
  EXPECT_EQ(Run.ExitCode, 1u);
  EXPECT_FALSE(FileExists(Out));

  // An explicit filter later on the line overrides the preset one.
  Run = RunProgram(Renamed, {"--filter=file", "if=/dev/zero", "of=" + Out, "count=1"});
  EXPECT_EQ(Run.Err, Banner + Records("1+0", "1+0"));
  EXPECT_EQ(ReadWholeFile(Out), std::string(512, '\0'));
}

TEST_F(MobriProcess, ListShowsWhatWinePresents) {
  TRun Run = Mobri({"--list"});
  EXPECT_EQ(Run.ExitCode, 0u);
  EXPECT_THAT(Run.Err, StartsWith(Banner + Lines({"Win32 Available Volume Information"})));
  EXPECT_THAT(Run.Err, HasSubstr(Lines({"", "NT Block Device Objects"})));
  EXPECT_THAT(Run.Err, EndsWith(Lines({"", "Virtual output devices", " -           (standard output)",
                                       " /dev/null   (discard the data)"})));

  Run = Mobri({"--list", "--filter=file"});
  EXPECT_EQ(Run.Err, Banner + Lines({"", "NT Block Device Objects"}));
}

// --- Copying -----------------------------------------------------------------------------

TEST_F(MobriProcess, FileCopyCountsFullAndPartialRecords) {
  std::string Data = BinaryPattern(1000);
  std::string In = Given("in", Data), Out = Scratch.File("out");
  TRun Run = Mobri({"if=" + In, "of=" + Out});
  EXPECT_EQ(Run.Err, Banner + Records("1+1", "1+1"));
  EXPECT_EQ(Run.Out, "");
  EXPECT_EQ(ReadWholeFile(Out), Data);
}

TEST_F(MobriProcess, CountZeroMovesNothing) {
  std::string Out = Scratch.File("out");
  TRun Run = Mobri({"if=" + Given("in", "abc"), "of=" + Out, "count=0"});
  EXPECT_EQ(Run.Err, Banner + Records("0+0", "0+0"));
  EXPECT_EQ(ReadWholeFile(Out), "");
}

TEST_F(MobriProcess, SkipSeekAndCountTakeSuffixes) {
  std::string Data = BinaryPattern(10 * 1024);
  std::string In = Given("in", Data), Out = Scratch.File("out");
  TRun Run = Mobri({"bs=1k", "skip=2", "seek=1", "count=3", "if=" + In, "of=" + Out});
  EXPECT_EQ(Run.Err, Banner + Lines({"skip to 2048"}) + Records("3+0", "3+0"));
  EXPECT_EQ(ReadWholeFile(Out), std::string(1024, '\0') + Data.substr(2048, 3072));

  // count=2c is 2 blocks and skip=1d is 4 blocks.
  Run = Mobri({"bs=1k", "count=2c", "skip=1d", "if=" + In, "of=-"});
  EXPECT_EQ(Run.Out, Data.substr(4096, 2048));
}

TEST_F(MobriProcess, ExistingOutputIsWrittenInPlaceAndNeverTruncated) {
  std::string Old(1000, 'o');
  std::string Out = Given("out", Old);
  TRun Run = Mobri({"if=" + Given("in", std::string(100, 'n')), "of=" + Out});
  EXPECT_EQ(Run.Err, Banner + Records("0+1", "0+1"));
  EXPECT_EQ(ReadWholeFile(Out), std::string(100, 'n') + Old.substr(100));

  Run = Mobri({"seek=1", "if=" + Given("in2", std::string(10, 's')), "of=" + Out});
  EXPECT_EQ(ReadWholeFile(Out), std::string(100, 'n') + std::string(412, 'o') +
                                    std::string(10, 's') + std::string(478, 'o'));
}

TEST_F(MobriProcess, SkipOnStandardInputReadsAwayWholeBlocksWithoutMessage) {
  std::string Data = BinaryPattern(1000);
  TRun Run = Mobri({"bs=100", "skip=3"}, Data);
  EXPECT_EQ(Run.Out, Data.substr(300));
  EXPECT_EQ(Run.Err, Banner + Records("7+0", "7+0"));
}

TEST_F(MobriProcess, SkipOnStandardInputSkipsWholeBlocksWhenThePipeDeliversLess) {
  // The pipe hands over 100 bytes, then the rest later: the skip must still drop 512.
  std::string Data = BinaryPattern(2048);
  TRun Run = RunProgram(ProgramFolder() + "\\mobri.exe", {"skip=1", "of=-"},
                        {Data.substr(0, 100), Data.substr(100)}, 300);
  EXPECT_EQ(Run.Out, Data.substr(512));
}

TEST_F(MobriProcess, SkipOnAVirtualSourceShowsTheRequestedOffset) {
  TRun Run = Mobri({"skip=2", "count=1", "if=/dev/zero", "of=-"});
  EXPECT_EQ(Run.Err, Banner + Lines({"skip to 1024"}) + Records("1+0", "1+0"));
  EXPECT_EQ(Run.Out, std::string(512, '\0'));
}

TEST_F(MobriProcess, RandomSourceFillsEveryByteOfEachBlock) {
  TRun Run = Mobri({"bs=1001", "count=3", "if=/dev/random"});
  ASSERT_EQ(Run.Out.size(), 3003u);
  EXPECT_EQ(Run.Err, Banner + Records("3+0", "3+0"));
  // Zero runs longer than a few bytes would mean unfilled parts of the buffer.
  EXPECT_EQ(Run.Out.find(std::string(8, '\0')), std::string::npos);
}

TEST_F(MobriProcess, NtObjectPathInputIsOpenedNatively) {
  std::string Data = BinaryPattern(700);
  std::string In = Given("in", Data);
  TRun Run = Mobri({"if=\\\\?\\??\\" + In, "of=-"});
  EXPECT_EQ(Run.Out, Data);
  EXPECT_EQ(Run.Err, Banner + Records("1+1", "1+1"));
}

TEST_F(MobriProcess, MissingInputIsReportedWithoutRecordsAndNothingIsCreated) {
  std::string Out = Scratch.File("out");
  TRun Run = Mobri({"if=" + Scratch.File("missing"), "of=" + Out});
  EXPECT_THAT(Run.Err, StartsWith(Banner + "Error opening input file: 2 "));
  EXPECT_THAT(Run.Err, EndsWith("\r\n"));
  EXPECT_THAT(Run.Err, Not(HasSubstr("records")));
  EXPECT_FALSE(FileExists(Out));
  EXPECT_EQ(Run.ExitCode, 1u);
}

TEST_F(MobriProcess, UnopenableOutputIsReportedAndNothingIsWritten) {
  TRun Run = Mobri({"if=" + Given("in", "abc"), "of=" + Scratch.File("none\\out")});
  EXPECT_THAT(Run.Err, StartsWith(Banner + "Error opening output file: 3 "));
  EXPECT_THAT(Run.Err, Not(HasSubstr("records")));
  EXPECT_EQ(Run.ExitCode, 1u);

  Run = Mobri({"if=" + Given("in2", "abc"), "of=\\\\?\\??\\" + Scratch.File("none")});
  EXPECT_THAT(Run.Err, StartsWith(Banner + "Error native opening file: "));
  EXPECT_THAT(Run.Err, Not(HasSubstr("records")));
  EXPECT_EQ(Run.ExitCode, 1u);

  // Z: is the Linux root, whose /sys takes no new files even from root: the create is
  // refused (5), while the fallback open of an existing file finds none (2).
  if (!FileExists("Z:\\sys")) GTEST_SKIP() << "no Z:\\sys";
  Run = Mobri({"if=/dev/zero", "count=1", "of=Z:\\sys\\mobri_out"});
  EXPECT_THAT(Run.Err, StartsWith(Banner + "Error opening output file: 5 "));
}

TEST_F(MobriProcess, FailedReadOrWriteStopsTheCopyWithStatusOne) {
  // Linux's /dev/full takes nothing: disk full on the first block.
  TRun Run = Mobri({"if=/dev/zero", "of=Z:\\dev\\full", "count=3"});
  EXPECT_EQ(Run.Err, Banner + Lines({"Error writing file: 112 Disk full"}) +
                         Records("1+0", "0+0"));
  EXPECT_EQ(Run.ExitCode, 1u);

  // A folder opened natively opens, but does not read.
  Run = Mobri({"if=\\\\?\\??\\" + Scratch.Path, "of=/dev/null"});
  EXPECT_THAT(Run.Err, StartsWith(Banner + "Error reading file: "));
  EXPECT_THAT(Run.Err, EndsWith(Records("0+0", "0+0")));
  EXPECT_EQ(Run.ExitCode, 1u);
}

TEST_F(MobriProcess, SeekOnAnOutputThatCannotSeekIsRefused) {
  TRun Run = Mobri({"seek=1", "if=/dev/zero", "count=1"});
  EXPECT_EQ(Run.Err, Banner + Lines({"Output - cannot seek: seek= needs a file or a device as "
                                     "output"}));
  EXPECT_EQ(Run.Out, "");
  EXPECT_EQ(Run.ExitCode, 1u);
}

TEST_F(MobriProcess, RunsPastTwoBillionBlocksCountEveryBlock) {
  TRun Run = Mobri({"bs=1", "count=2147483650", "if=/dev/zero", "of=/dev/null"});
  EXPECT_EQ(Run.Err, Banner + Records("2147483650+0", "2147483650+0"));
}

// --- Progress line -----------------------------------------------------------------------

TEST_F(MobriProcess, ProgressIsRedrawnAtMostTenTimesASecondAndOnceAtTheEnd) {
  // Small blocks: a redraw per block would be 200,001 lines.
  TRun Run = Mobri({"--progress", "count=200000", "if=/dev/zero", "of=/dev/null"});
  EXPECT_THAT(Run.Out, StartsWith("\r0 0% "));
  EXPECT_THAT(Run.Out, EndsWith("\r102,400,000 100% "));
  size_t Redraws = 0;
  for (size_t At = 0; At < Run.Out.size(); At = Run.Out.find('\r', At + 1), ++Redraws) {
    std::string Redraw = Run.Out.substr(At + 1, Run.Out.find('\r', At + 1) - At - 1);
    Redraw.erase(std::remove(Redraw.begin(), Redraw.end(), ','), Redraw.end());
    EXPECT_THAT(Redraw, MatchesRegex("\\d+ \\d+% "));
  }
  EXPECT_LT(Redraws, 100u);
  EXPECT_EQ(Run.Err, Banner + Lines({""}) + Records("200000+0", "200000+0"));
  EXPECT_EQ(Run.ExitCode, 0u);
}

TEST_F(MobriProcess, ProgressShowsUnitsOfTheBlockSize) {
  std::string In = Given("in", std::string(1048576 + 3, 'x'));
  TRun Run = Mobri({"--progress", "bs=1M", "count=100", "if=/dev/zero", "of=/dev/null"});
  EXPECT_THAT(Run.Out, StartsWith("\r0M 0% "));
  EXPECT_THAT(Run.Out, EndsWith("\r100M 100% "));

  Run = Mobri({"--progress", "bs=4k", "if=" + In, "of=/dev/null"});
  EXPECT_THAT(Run.Out, StartsWith("\r0k "));
  EXPECT_THAT(Run.Out, EndsWith("\r1,024k "));
  EXPECT_EQ(Run.Err, Banner + Lines({""}) + Records("256+1", "256+1"));
}

TEST_F(MobriProcess, ProgressGoesToStandardErrorWhenTheDataGoesToStandardOutput) {
  std::string Data = BinaryPattern(1000);
  TRun Run = Mobri({"--progress"}, Data);
  EXPECT_EQ(Run.Out, Data);
  EXPECT_THAT(Run.Err, StartsWith(Banner + "\r0 "));
  EXPECT_THAT(Run.Err, EndsWith("\r1,000 \r\n" + Records("1+1", "1+1")));
}

}  // namespace
