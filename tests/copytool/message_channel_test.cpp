// The message channel: error reports and the exact bytes on standard error.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debug.h"

namespace {

using ::testing::ElementsAre;

TEST(MessageChannel, ReportErrorNamesTheStepTheCodeAndTheTrimmedSystemText) {
  std::vector<std::string> Lines;
  // A hook that disturbs the last error must not change the reported code.
  SetLogHook([&Lines](const std::string& Text) {
    SetLastError(ERROR_ACCESS_DENIED);
    Lines.push_back(Text);
  });
  SetLastError(ERROR_FILE_NOT_FOUND);
  ReportError("opening input file");
  SetLogHook(TLogHook());
  std::string Text = SystemErrorText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(Text.empty());
  EXPECT_THAT(Lines, ElementsAre("Error opening input file: 2 " + Text));
  // The system's text ends with a full stop and a line break; neither may reach the line.
  EXPECT_NE(Text.back(), '.');
  EXPECT_EQ(Text.find_first_of("\r\n"), std::string::npos);
}

TEST(MessageChannel, StandardErrorGetsEachLineWithCarriageReturnAndLineFeed) {
  HANDLE Saved = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE ReadEnd, WriteEnd;
  ASSERT_TRUE(CreatePipe(&ReadEnd, &WriteEnd, nullptr, 1 << 16));
  SetStdHandle(STD_ERROR_HANDLE, WriteEnd);
  UseStdError();
  Log("one");
  Log("");
  Log("two\tthree");
  SetStdHandle(STD_ERROR_HANDLE, Saved);
  SetLogHook(TLogHook());
  CloseHandle(WriteEnd);
  std::string Data;
  char Buffer[256];
  DWORD Got = 0;
  while (ReadFile(ReadEnd, Buffer, sizeof(Buffer), &Got, nullptr) && Got > 0) Data.append(Buffer, Got);
  CloseHandle(ReadEnd);
  EXPECT_EQ(Data, "one\r\n\r\ntwo\tthree\r\n");
}

}  // namespace
