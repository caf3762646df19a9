// What a restore takes from the archive is untrusted: restore objects, information files and entry
// names are held within their lengths, and a damaged one is a message, never a crash or a file
// written elsewhere.
#include "../support/plugin_instance_test.h"
#include "../../plugin/frame/split_string.h"
#include "../../plugin/tree/vssfs_component.h"
#include "../../plugin/tree/vssfs_element.h"
#include "../../plugin/tree/vssfs_writer.h"

#include <gmock/gmock.h>

#include <cwchar>

using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

class RestoreInput : public PluginInstanceTest {
 protected:
  hRC Create(const std::string& name, int type = FILE_TYPE_REGULAR) {
    rp = restore_pkt{};
    rp.pkt_size = rp.pkt_end = sizeof(restore_pkt);
    rp.type = type;
    name_ = name;
    rp.ofname = name_.c_str();
    return vssfs->createFile(&rp);
  }
  hRC Write(const void* data, int count) {
    io_pkt io{};
    io.pkt_size = io.pkt_end = sizeof(io_pkt);
    io.func = IO_WRITE;
    io.buf = static_cast<char*>(const_cast<void*>(data));
    io.count = count;
    return vssfs->pluginIO(&io);
  }
  restore_pkt rp{};
  std::string name_;
};

TEST_F(RestoreInput, ObjectsAndSegmentsSurviveDamageAndMissingParts) {
  hEvent start{hEventStartRestoreJob};
  vssfs->handlePluginEvent(&start, nullptr);
  // Unterminated UTF-16 text: kept with its length and two zero bytes.
  char unterminated[] = {'A', 0, 'B', 0, 'C', 0};
  restore_object_pkt object{};
  object.object_name = const_cast<char*>("job_metadata.xml");
  object.object = unterminated;
  object.object_len = 4;
  hEvent restore_object{hEventRestoreObject};
  vssfs->handlePluginEvent(&restore_object, &object);
  ASSERT_NE(vssfs->job_metadata_head, nullptr);
  EXPECT_EQ(vssfs->job_metadata_head->size, 4);
  EXPECT_EQ(wcslen(reinterpret_cast<WCHAR*>(vssfs->job_metadata_head->data)), 2u);
  // Three backup jobs, of which the stream below brings two.
  vssfs->handlePluginEvent(&restore_object, &object);
  vssfs->handlePluginEvent(&restore_object, &object);
  EXPECT_EQ(vssfs->job_metadata_count, 3);
  object.object_len = -5;  // a negative length is no length
  object.object_name = const_cast<char*>("vss_W_{x}.xml");
  vssfs->handlePluginEvent(&restore_object, &object);
  ASSERT_NE(vssfs->writer_metadata_head, nullptr);
  EXPECT_EQ(vssfs->writer_metadata_head->size, 0);

  // An information file before any restore command reaches no node.
  EXPECT_EQ(Create("/@SYSTEMSTATE/W/C/:component_info_zzzzzzzz"), hRC_OK);
  EXPECT_EQ(rp.create_status, CREATE_SKIP);
  EXPECT_THAT(job.JobMessages(JMSG_ERROR), Contains(HasSubstr("before any restore command")));

  // A suffix that reads as 0 still opens its segment; without a shadow copy service the
  // element skips the segment's entries.
  hEvent command{hEventRestoreCommand};
  vssfs->handlePluginEvent(&command, const_cast<char*>("vss:/@SYSTEMSTATE/"));
  EXPECT_EQ(Create("/@SYSTEMSTATE/W/C/:component_info_00000000"), hRC_OK);
  EXPECT_EQ(rp.create_status, CREATE_SKIP);
  EXPECT_TRUE(vssfs->segment_open);
  EXPECT_EQ(vssfs->unique_id, 0);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), Contains(HasSubstr("Missing components.")));
  EXPECT_EQ(Create("/@SYSTEMSTATE/W/C/c:/a.txt"), hRC_OK);
  EXPECT_EQ(rp.create_status, CREATE_SKIP);
  EXPECT_EQ(vssfs->endRestoreFile(), hRC_OK);

  // The job ends with its segment closed, as the last one, and says so.
  EXPECT_FALSE(vssfs->last_job);
  hEvent end{hEventEndRestoreJob};
  vssfs->handlePluginEvent(&end, nullptr);
  EXPECT_TRUE(vssfs->last_job);
  EXPECT_THAT(job.JobMessages(JMSG_WARNING), Contains(HasSubstr("The restore ended after 2 of 3 backup jobs")));
  EXPECT_FALSE(vssfs->segment_open);
  EXPECT_EQ(vssfs->element_head, nullptr);
}

TEST_F(RestoreInput, InformationFilesAndNamesAreBoundedAndCheckedPieceByPiece) {
  vssfs->job_type = 2;
  vssfs_element_t* element = vssfs_elements[0].element_factory(vssfs, const_cast<char*>("@SYSTEMSTATE"));
  element->level = 1;
  vssfs_writer_t* writer = HNEW vssfs_writer_t(vssfs, const_cast<char*>("W"), element);
  vssfs->current_node = writer;
  // The segment and command of this information file are open already.
  vssfs->segment_open = true;
  HFREE(vssfs->unique_id_str);
  vssfs->unique_id_str = HSTRDUP("12345678");
  vssfs->last_plugin_command = HSTRDUP("vss:/@SYSTEMSTATE/");

  EXPECT_EQ(Create("/@SYSTEMSTATE/W/C/:component_info_12345678"), hRC_OK);
  EXPECT_EQ(rp.create_status, CREATE_WRITE_DATA);
  EXPECT_EQ(Write("x", -1), hRC_Error);
  std::string huge(70000, 'x');
  EXPECT_EQ(Write(huge.data(), static_cast<int>(huge.size())), hRC_Error);
  const wchar_t no_end[] = {L'P', L'\n', L'N', L'\n'};
  EXPECT_EQ(Write(no_end, sizeof(no_end)), hRC_OK);
  EXPECT_EQ(vssfs->endRestoreFile(), hRC_OK);
  EXPECT_EQ(Create("/@SYSTEMSTATE/W/C/c:/a.txt"), hRC_Error);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL), Contains(HasSubstr("bad data3")));

  // A component node: names that would lead elsewhere are refused, deep ones kept whole.
  vssfs_component_t* component = HNEW vssfs_component_t(vssfs, const_cast<char*>("C"), writer);
  component->level = 3;
  vssfs->current_node = component;
  for (const char* bad : {"/@SYSTEMSTATE/W/C/c:/a/../b", "/@SYSTEMSTATE/W/C/c:/a/./b", "/@SYSTEMSTATE/W/C/c:/a//b",
                          "/@SYSTEMSTATE/W/C/c:/a\\..\\b", "/@SYSTEMSTATE/W/C/c:/a/d:e", "/@SYSTEMSTATE/W/C/c:x/b"}) {
    EXPECT_EQ(Create(bad), hRC_OK) << bad;
    EXPECT_EQ(rp.create_status, CREATE_SKIP) << bad;
    EXPECT_EQ(vssfs->endRestoreFile(), hRC_OK);
  }
  EXPECT_EQ(job.JobMessages(JMSG_ERROR).size(), 6u);
  std::string deep = "/@SYSTEMSTATE/W/C/c:";
  for (int i = 0; i < 40; ++i) deep += "/d" + std::to_string(i);
  EXPECT_EQ(Create(deep), hRC_OK);  // handed to the file node
  EXPECT_EQ(rp.create_status, CREATE_WRITE_DATA);
  ASSERT_NE(component->filename, nullptr);
  EXPECT_EQ(std::string(component->filename), "c:\\d0\\d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8\\d9\\d10\\d11\\d12\\d13\\d14\\d15\\d16"
                                              "\\d17\\d18\\d19\\d20\\d21\\d22\\d23\\d24\\d25\\d26\\d27\\d28\\d29\\d30\\d31"
                                              "\\d32\\d33\\d34\\d35\\d36\\d37\\d38\\d39");
  component->endComponentRestore();
  EXPECT_THAT(job.JobMessages(JMSG_WARNING), Contains(HasSubstr("Component \\: 6 files skipped, 0 failed")));
  delete component;
  delete writer;
  delete element;
  vssfs->current_node = nullptr;
  freeSplitString(vssfs->path_bits);
  vssfs->path_bits = nullptr;
}

}  // namespace
