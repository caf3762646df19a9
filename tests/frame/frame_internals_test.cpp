// Pieces of the frame that the DLL does not export, linked in directly.
#include "../support/plugin_instance_test.h"
#include "../../plugin/frame/host_alloc.h"
#include "../../plugin/frame/host_messages.h"
#include "../../plugin/frame/split_string.h"
#include "../../plugin/frame/text_convert.h"
#include "../../plugin/frame/vssfs.h"
#include "../../plugin/tree/vssfs_node.h"
#include "../../sim/host/harbek/harbek_accounting.h"
#include "../../sim/host/testhost/test_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::ElementsAre;

namespace {

std::vector<std::string> split(const char* text, int max_parts, int* count) {
  std::string copy(text);
  char** parts = splitString(&copy[0], '/', max_parts, count);
  std::vector<std::string> out;
  for (char** p = parts; *p; ++p) out.push_back(*p);
  EXPECT_EQ(static_cast<int>(out.size()), *count);
  freeSplitString(parts);
  return out;
}

TEST(SplitString, SeparatorsAtTheEdgesAndInARow) {
  int count = -1;
  EXPECT_THAT(split("/@SYSTEMSTATE/", 32, &count), ElementsAre("", "@SYSTEMSTATE"));
  EXPECT_EQ(count, 2);
  EXPECT_THAT(split("a//b", 32, &count), ElementsAre("a", "", "b"));
  EXPECT_THAT(split("/", 32, &count), ElementsAre(""));
  EXPECT_EQ(count, 1);
  EXPECT_THAT(split("", 32, &count), ElementsAre(""));
  EXPECT_THAT(split("/@SYSTEMSTATE/Registry Writer/", 32, &count),
              ElementsAre("", "@SYSTEMSTATE", "Registry Writer"));
  EXPECT_THAT(split("vss:/@MSSQL/:+master:model", 32, &count), ElementsAre("vss:", "@MSSQL", ":+master:model"));
}

TEST(SplitString, DropsTextBeyondTheLimit) {
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += "p" + std::to_string(i) + "/";
  int count = 0;
  auto parts = split(forty.c_str(), 32, &count);
  EXPECT_EQ(count, 32);
  EXPECT_EQ(parts.back(), "p31");
  EXPECT_THAT(split("a/b/c", 1, &count), ElementsAre("a"));
}

TEST(SplitString, ReturnsEveryBlockToTheHost) {
  size_t before = harbek_live_blocks_matching("/plugin/");
  std::string text = "/x/y/z";
  int count = 0;
  char** parts = splitString(&text[0], '/', 32, &count);
  EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), before + 5);  // array and four parts
  freeSplitString(parts);
  EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), before);
}

TEST(HostAllocation, TaggedObjectsAreZeroFilledAndReturned) {
  struct Sample {
    int a;
    char* b;
    double c[8];
  };
  size_t before = harbek_live_blocks_matching("/plugin/");
  size_t bad_before = harbek_bad_frees();
  Sample* s = HNEW Sample;
  EXPECT_EQ(s->a, 0);
  EXPECT_EQ(s->b, nullptr);
  for (double c : s->c) EXPECT_EQ(c, 0.0);
  char* copy = HSTRDUP("text");
  EXPECT_STREQ(copy, "text");
  delete s;
  HFREE(copy);
  EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), before);
  EXPECT_EQ(harbek_bad_frees(), bad_before);
}

using Instance = PluginInstanceTest;

TEST_F(Instance, PersistentBlocksAreNamedZeroFilledAndLastUntilReleased) {
  auto* first = static_cast<unsigned char*>(vssfs->getPersistent("registry", 16));
  ASSERT_NE(first, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(first[i], 0) << i;
  first[0] = 7;
  EXPECT_EQ(vssfs->getPersistent("registry", 4096), first);
  EXPECT_EQ(first[0], 7);
  void* other = vssfs->getPersistent("complus", 16);
  EXPECT_NE(other, first);
  EXPECT_NE(vssfs->getPersistent("Registry", 16), first);  // names compare exactly
  vssfs->freePersistent();
  EXPECT_EQ(vssfs->persistent_head, nullptr);
  vssfs->getPersistent("registry", 16);  // the destructor releases what is left
  EXPECT_THAT(job.DebugMessages(10),
              testing::Contains("Enter function void* vssfs_t::getPersistent(const char*, int)\n"));
}

// The fixture finds every host block back after the destructor, whichever path the job took.
TEST_F(Instance, TheDestructorReleasesEveryFieldTheInstanceOwns) {
  vssfs->pending_plugin_command = HSTRDUP("vss:/@SYSTEMSTATE/");
  vssfs->last_plugin_command = HSTRDUP("vss:/@SYSTEMSTATE/");
  vssfs->ro_name = HSTRDUP("vss_Registry Writer.xml");
  vssfs->job_id_str = HSTRDUP("7");
  vssfs->xml = SysAllocString(L"<WRITER_METADATA/>");
  vssfs->addPendingDelete(const_cast<char*>("C:\\a.dll"));
  int count = 0;
  char path[] = "/@SYSTEMSTATE/x";
  vssfs->path_bits = splitString(path, '/', 32, &count);
}

// A node that only records what reaches it.
class recording_node_t : public vssfs_node_t {
 public:
  recording_node_t(vssfs_t* vssfs) : vssfs_node_t(vssfs, const_cast<char*>("rec"), VSSFS_NODE_ELEMENT) {}
  hRC startBackupFile(save_pkt*) override { return record("startBackupFile"); }
  hRC endBackupFile() override { return record("endBackupFile"); }
  hRC createFile(restore_pkt*) override { return record("createFile"); }
  hRC endRestoreFile() override { return record("endRestoreFile"); }
  hRC pluginIoOpen(io_pkt* io) override {
    io->status = 42;
    return record("pluginIoOpen");
  }
  std::vector<std::string> calls;

 private:
  hRC record(const char* call) {
    calls.push_back(call);
    return hRC_OK;
  }
};

// A packet of another layout would be read wrongly: save and restore packets are refused before
// the tree sees them; an I/O packet is reported and still handled, as the host expects an answer.
TEST_F(Instance, PacketsOfTheWrongSizeAreRefusedWhileAWrongIoPacketStillReachesTheNode) {
  recording_node_t* node = HNEW recording_node_t(vssfs);
  vssfs->current_node = node;
  save_pkt sp{};
  sp.pkt_size = sp.pkt_end = sizeof(save_pkt);
  vssfs->startBackupFile(&sp);
  restore_pkt rp{};
  rp.pkt_size = rp.pkt_end = sizeof(restore_pkt);
  vssfs->createFile(&rp);
  io_pkt io{};
  io.pkt_size = io.pkt_end = sizeof(io_pkt);
  io.func = IO_OPEN;
  vssfs->pluginIO(&io);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), testing::IsEmpty());
  node->calls.clear();

  sp.pkt_end = 152;
  EXPECT_EQ(vssfs->startBackupFile(&sp), hRC_Error);
  rp.pkt_size = 160;
  EXPECT_EQ(vssfs->createFile(&rp), hRC_Error);
  io.pkt_end = 0;
  io.status = 0;
  EXPECT_EQ(vssfs->pluginIO(&io), hRC_OK);
  EXPECT_EQ(io.status, 42);
  EXPECT_THAT(node->calls, ElementsAre("pluginIoOpen"));
  EXPECT_THAT(
      job.JobMessages(JMSG_FATAL),
      ElementsAre(
          "save_pkt size mismatch - sizeof(struct save_pkt) = 160, pkt_size = 160, pkt_end = 152\n",
          "restore_pkt size mismatch - sizeof(struct restore_pkt) = 168, pkt_size = 160, pkt_end = 168\n",
          "io_pkt size mismatch - sizeof(struct io_pkt) = 72, pkt_size = 72, pkt_end = 0\n"));
  vssfs->current_node = nullptr;
  delete node;
}

}  // namespace

namespace {

// Names inside the system code page (Wine's default: 1252) convert exactly both ways; a name
// outside it gives no text at all, never an empty or a look-alike one.
TEST(TextConversion, NamesConvertExactlyOrNotAtAll) {
  ASSERT_EQ(GetACP(), 1252u);
  const wchar_t inside[] = L"caf\u00e9 \u20ac \u00df";
  char* narrow = NARROW_FROM_WIDE(inside);
  ASSERT_NE(narrow, nullptr);
  EXPECT_STREQ(narrow, "caf\xe9 \x80 \xdf");
  wchar_t* wide = WIDE_FROM_NARROW(narrow);
  EXPECT_STREQ(wide, inside);
  HFREE(narrow);
  HFREE(wide);
  for (const wchar_t* outside : {L"\u03b1.txt", L"\u6570\u636e", L"a\xd800z"}) {
    EXPECT_EQ(NARROW_FROM_WIDE(outside), nullptr);
    char* shown = NARROW_FOR_MESSAGE(outside);
    EXPECT_EQ(std::string(shown).find_first_not_of("?.txtaz"), std::string::npos) << shown;
    HFREE(shown);
  }
  EXPECT_EQ(NARROW_FROM_WIDE(nullptr), nullptr);
  EXPECT_EQ(HSTRDUP(nullptr), nullptr);
}

}  // namespace
