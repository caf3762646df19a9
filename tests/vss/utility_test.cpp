// Call failure messages, backup stamp file names and system error texts.
#include "plugin_fixture.h"

#include "../../plugin/vss/vss_call_status.h"
#include "../../plugin/vss/vss_utility.h"

#include <gmock/gmock.h>

#include <cstring>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class CallStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    hfuncs = TestHost::HostFuncs();
    job.ctx.hContext = &job;
  }
  std::vector<std::string> Report(HRESULT hr, const char* call) {
    job.ClearMessages();
    JmsgWriterCallStatus(&job.ctx, hr, call);
    EXPECT_THAT(job.DebugMessages(), IsEmpty());
    return job.JobMessages(JMSG_WARNING);
  }
  TestJob job;
};

TEST_F(CallStatus, SuccessSendsNothing) {
  JmsgWriterCallStatus(&job.ctx, S_OK, "AddComponent");
  EXPECT_THAT(job.messages, IsEmpty());
}

TEST_F(CallStatus, KnownCodesGiveTheirFixedTextAsWarning) {
  EXPECT_THAT(Report(static_cast<HRESULT>(0x80042308), "AddComponent"),
              ElementsAre("Writer \"AddComponent\" call failure. ERR=The specified file does not exist.\n"));
  EXPECT_THAT(Report(1, "GetComponent"),
              ElementsAre("Writer \"GetComponent\" call failure. ERR=No writer found for the current component.\n"));
  EXPECT_THAT(Report(static_cast<HRESULT>(0x80042311), "LoadFromXML"),
              ElementsAre("Writer \"LoadFromXML\" call failure. ERR=The XML document is not valid.\n"));
  EXPECT_THAT(Report(E_OUTOFMEMORY, "PreRestore"),
              ElementsAre("Writer \"PreRestore\" call failure. ERR=The caller is out of memory or other system "
                          "resources.\n"));
  EXPECT_THAT(Report(E_INVALIDARG, "SetSelectedForRestore"),
              ElementsAre("Writer \"SetSelectedForRestore\" call failure. ERR=One of the parameter values is not "
                          "valid.\n"));
}

TEST_F(CallStatus, OtherCodesGiveTheUnexpectedTextWithoutTheCode) {
  const char unexpected[] =
      "Writer \"PostRestore\" call failure. ERR=Unexpected error. The error code is logged in the error log file.\n";
  EXPECT_THAT(Report(E_FAIL, "PostRestore"), ElementsAre(unexpected));
  EXPECT_THAT(Report(2, "PostRestore"), ElementsAre(unexpected));
  EXPECT_THAT(Report(static_cast<HRESULT>(0x80042309), "PostRestore"), ElementsAre(unexpected));
}

// {12345678-9ABC-DEF0-1122-334455667788}
const VSS_ID kWriterId = {0x12345678, 0x9abc, 0xdef0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};

std::string StampName(const char* dir, const char* writer, const WCHAR* path, const WCHAR* name,
                      VSS_ID id = kWriterId) {
  std::string d(dir), w(writer);
  size_t before = harbek_live_blocks_matching("/plugin/");
  char* made = makeBackupStampFilename(&d[0], &w[0], &id, const_cast<WCHAR*>(path), const_cast<WCHAR*>(name));
  EXPECT_NE(made, nullptr);
  if (!made) return "";
  EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), before + 1);
  std::string result(made);
  EXPECT_LE(result.size() + 1, d.size() + w.size() + 22);
  HFREE(made);
  return result;
}

TEST(BackupStampFilename, DigestCoversClassIdPathAndNameInMemoryOrder) {
  // Expected characters worked out independently from MD5 of the GUID's memory bytes and the
  // UTF-16LE texts.
  EXPECT_EQ(StampName("C:\\Work", "System_Writer", L"Root\\Sub", L"Comp"),
            "C:\\Work\\System_Writer_knW@yCCy.vss_stamp");
  EXPECT_EQ(StampName("C:\\Work", "Registry Writer", nullptr, L"Registry"),
            "C:\\Work\\Registry Writer_Xhatf1YG.vss_stamp");
}

TEST(BackupStampFilename, NullPathEqualsEmptyPathAndInputsChangeTheName) {
  std::string null_path = StampName("C:\\Work", "W", nullptr, L"Comp");
  EXPECT_EQ(null_path, "C:\\Work\\W_C7IGNrPH.vss_stamp");
  EXPECT_EQ(StampName("C:\\Work", "W", L"", L"Comp"), null_path);
  EXPECT_EQ(StampName("C:\\Work", "W", nullptr, L"Comp"), null_path);
  EXPECT_NE(StampName("C:\\Work", "W", nullptr, L"comp"), null_path);
  VSS_ID other = kWriterId;
  other.Data4[7] ^= 1;
  EXPECT_NE(StampName("C:\\Work", "W", nullptr, L"Comp", other), null_path);
}

TEST(FormatError, GivesTheSystemTextTruncatedToTheBufferAndAlwaysEnded) {
  char full[200];
  formatError(ERROR_ACCESS_DENIED, full, sizeof(full));
  ASSERT_GT(strlen(full), 5u);
  EXPECT_EQ(full[strlen(full) - 1], '\n');  // the system's line end is kept
  char small[6];
  memset(small, 'x', sizeof(small));
  formatError(ERROR_ACCESS_DENIED, small, sizeof(small));
  EXPECT_EQ(std::string(small), std::string(full, 5));
  char one = 'x';
  formatError(ERROR_ACCESS_DENIED, &one, 1);
  EXPECT_EQ(one, '\0');
  char untouched = 'x';
  formatError(ERROR_ACCESS_DENIED, &untouched, 0);
  EXPECT_EQ(untouched, 'x');
}

TEST(FormatError, UnknownCodeGivesAnEmptyText) {
  char text[50];
  memset(text, 'x', sizeof(text));
  formatError(static_cast<HRESULT>(0x2FFF1234), text, sizeof(text));
  EXPECT_STREQ(text, "");
}

}  // namespace
