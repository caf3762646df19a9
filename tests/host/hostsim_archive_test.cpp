// The archive format: what a job index keeps, and that damage is found rather than restored.
#include "../../plugin/frame/host_interface.h"

#include "archive.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;

namespace {

ArchiveJob SampleJob() {
  ArchiveJob job;
  job.id = 7;
  job.level = 'I';
  job.time = 1796800000;
  job.since = 1796700000;
  job.accurate = true;
  job.commands = {"vss:/@SYSTEMSTATE/:+System Writer", "test:/a b/"};
  job.exclusions = {{1, "options", 0, "ei"}, {1, "regex", 'F', "[A-Z]:/Pagefile\\.sys"}};
  ArchiveEntry e;
  e.number = 1;
  e.command = 2;
  e.name = "/@SYSTEMSTATE/System Writer/a=b%c\nd";
  e.link = e.name;
  e.type = FILE_TYPE_REGULAR;
  e.flags = SAVE_FLAGS_PARTIAL;
  e.st.st_mode = 0100644;
  e.st.st_size = 9000;
  e.st.st_mtime = -5;
  e.data_file = "data/000001.bin";
  e.data_len = 30;
  e.checksum = 0x0123456789abcdefULL;
  e.ranges = {{0, 10, 0}, {8000, 20, 10}};
  job.entries.push_back(e);
  job.objects.push_back({1, "vss_System Writer_{A}.xml", 0, "objects/000001.bin", 12, 42});
  job.checks.push_back({"/gone/x", false});
  return job;
}

TEST(ArchiveIndex, KeepsEveryFieldOfAJobThroughItsTextForm) {
  ArchiveJob in = SampleJob(), out;
  std::string error;
  ASSERT_TRUE(Archive::ParseJobIndex(Archive::FormatJobIndex(in), &out, &error)) << error;
  EXPECT_EQ(out.id, 7);
  EXPECT_EQ(out.level, 'I');
  EXPECT_EQ(out.since, in.since);
  EXPECT_TRUE(out.accurate);
  EXPECT_EQ(out.commands, in.commands);
  ASSERT_EQ(out.exclusions.size(), 2u);
  EXPECT_EQ(out.exclusions[1].type, 'F');
  EXPECT_EQ(out.exclusions[1].text, in.exclusions[1].text);
  ASSERT_EQ(out.entries.size(), 1u);
  const ArchiveEntry& e = out.entries[0];
  EXPECT_EQ(e.name, in.entries[0].name);
  EXPECT_EQ(e.flags, SAVE_FLAGS_PARTIAL);
  EXPECT_EQ(e.st.st_mode, 0100644);
  EXPECT_EQ(e.st.st_mtime, -5);
  EXPECT_EQ(e.checksum, 0x0123456789abcdefULL);
  ASSERT_EQ(e.ranges.size(), 2u);
  EXPECT_EQ(e.ranges[1].offset, 8000);
  EXPECT_EQ(e.ranges[1].data_offset, 10);
  ASSERT_EQ(out.objects.size(), 1u);
  EXPECT_EQ(out.objects[0].name, "vss_System Writer_{A}.xml");
  ASSERT_EQ(out.checks.size(), 1u);
  EXPECT_FALSE(out.checks[0].seen);
}

TEST(ArchiveIndex, EscapesOnlyWhatWouldSplitALine) {
  EXPECT_EQ(EscapeField("a b=c%d\te\n"), "a%20b%3Dc%25d%09e%0A");
  EXPECT_EQ(EscapeField("/@SYSTEMSTATE/Écrit"), "/@SYSTEMSTATE/Écrit");
  std::string out;
  EXPECT_TRUE(UnescapeField("a%20b%3d", &out));
  EXPECT_EQ(out, "a b=");
  EXPECT_FALSE(UnescapeField("abc%2", &out));
  EXPECT_FALSE(UnescapeField("abc%zz", &out));
}

struct Damage {
  const char* what;
  std::string (*change)(std::string);
  const char* reason;
};

class DamagedIndex : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedIndex, IsRefusedWithItsReason) {
  ArchiveJob job;
  std::string error;
  std::string text = GetParam().change(Archive::FormatJobIndex(SampleJob()));
  EXPECT_FALSE(Archive::ParseJobIndex(text, &job, &error));
  EXPECT_THAT(error, HasSubstr(GetParam().reason));
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
    ArchiveIndex, DamagedIndex,
    ::testing::Values(
        Damage{"cut short", [](std::string t) { return t.substr(0, t.rfind("end ")); }, "end line"},
        Damage{"entry lost", [](std::string t) { return Replace(t, "entries=1", "entries=2"); },
               "counts"},
        Damage{"unknown line", [](std::string t) { return Replace(t, "object n=", "objet n="); },
               "unknown keyword"},
        Damage{"bad number", [](std::string t) { return Replace(t, "len=30", "len=3x"); }, "len"},
        Damage{"entry of no command", [](std::string t) { return Replace(t, "cmd=2", "cmd=3"); },
               "unknown command"},
        Damage{"ranges short of the data",
               [](std::string t) { return Replace(t, "length=20", "length=19"); }, "cover"},
        Damage{"not an index", [](std::string t) { return "x" + t; }, "first line"}),
    [](const ::testing::TestParamInfo<Damage>& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

class ArchiveFolder : public ::testing::Test {
 protected:
  ScratchArchive scratch{"archive"};

  static ArchiveJob Job(int id) {
    ArchiveJob job;
    job.id = id;
    job.time = 1796800000 + id;
    job.commands = {"test:/t/"};
    return job;
  }
  static void AddEntry(ArchiveJobWriter& writer, const char* name, uint32_t flags) {
    ArchiveEntry e;
    e.command = 1;
    e.name = name;
    e.type = FILE_TYPE_REGULAR;
    e.flags = flags;
    writer.AddEntry(e);
  }
  // One committed job with one plain entry and one object.
  void WriteJob(int id) {
    ArchiveJobWriter writer(scratch.path(), Job(id));
    AddEntry(writer, "/t/f", 0);
    ASSERT_TRUE(writer.AppendData("hello ", 6));
    ASSERT_TRUE(writer.AppendData("world", 5));
    ASSERT_TRUE(writer.AddObject("job_metadata.xml", 0, "<x/>", 4));
    ASSERT_TRUE(writer.Commit()) << writer.error();
  }
  std::string DataPath(int id) { return scratch.path() + "\\" + JobFolderName(id) + "\\data\\000001.bin"; }
};

TEST_F(ArchiveFolder, CommittedJobsAreReadInIdOrderAndVerify) {
  WriteJob(2);
  WriteJob(1);
  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  ASSERT_EQ(archive.jobs().size(), 2u);
  EXPECT_EQ(archive.jobs()[0].id, 1);
  EXPECT_EQ(archive.NextJobId(), 3);
  EXPECT_EQ(archive.jobs()[0].entries[0].data_len, 11u);
  EXPECT_TRUE(archive.Verify(archive.jobs()[1], &error)) << error;
}

TEST_F(ArchiveFolder, AJobThatNeverCommittedIsNotPartOfTheArchive) {
  WriteJob(1);
  ArchiveJobWriter abandoned(scratch.path(), Job(2));
  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  EXPECT_EQ(archive.jobs().size(), 1u);
}

TEST_F(ArchiveFolder, VerifyFindsAChangedTruncatedOrMissingDataFile) {
  WriteJob(1);
  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error));
  const ArchiveJob& job = archive.jobs()[0];

  std::ofstream(DataPath(1), std::ios::binary) << "hello World";
  EXPECT_FALSE(archive.Verify(job, &error));
  EXPECT_THAT(error, HasSubstr("checksum"));

  std::ofstream(DataPath(1), std::ios::binary) << "hello";
  EXPECT_FALSE(archive.Verify(job, &error));
  EXPECT_THAT(error, HasSubstr("5 bytes instead of 11"));

  DeleteFileA(DataPath(1).c_str());
  EXPECT_FALSE(archive.Verify(job, &error));
  EXPECT_THAT(error, HasSubstr("missing"));
}

TEST_F(ArchiveFolder, ReadsThatContinueARangeExtendItAndDroppedEntriesLeaveNoData) {
  ArchiveJobWriter writer(scratch.path(), Job(1));
  AddEntry(writer, "/r", SAVE_FLAGS_PARTIAL);
  writer.AppendRange(100, "abcd", 4);
  writer.AppendRange(104, "ef", 2);
  writer.AppendRange(4096, "g", 1);
  const auto& ranges = writer.job().entries[0].ranges;
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0].length, 6);
  EXPECT_EQ(ranges[1].data_offset, 6);

  AddEntry(writer, "/unreadable", 0);
  writer.AppendData("xx", 2);
  writer.DropLastEntry();
  ASSERT_TRUE(writer.Commit());
  Archive archive(scratch.path());
  std::string error;
  ASSERT_TRUE(archive.Open(&error)) << error;
  ASSERT_EQ(archive.jobs()[0].entries.size(), 1u);
  EXPECT_TRUE(archive.Verify(archive.jobs()[0], &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(scratch.path() + "\\job-000001\\data\\000002.bin"));
}

}  // namespace
