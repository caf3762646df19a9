// The node base: virtual paths of every level and the answers of kinds without a data stream.
#include "tree_test_support.h"

#include <gmock/gmock.h>

using ::testing::Contains;
using ::testing::ElementsAre;

namespace {

// Nodes come from the zero-filling allocator, as every node of the plug-in does.
class NodeBase : public InstanceTest {
 protected:
  void TearDown() override {
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) delete *it;
    InstanceTest::TearDown();
  }
  probe_node_t& Node(const char* name, int type, vssfs_node_t* parent = nullptr) {
    nodes.push_back(parent ? HNEW probe_node_t(vssfs, name, type, parent) : HNEW probe_node_t(vssfs, name, type));
    return *nodes.back();
  }
  std::vector<probe_node_t*> nodes;
};

TEST_F(NodeBase, PathsJoinEveryLevelAndOnlyDirectoriesEndInASlash) {
  char name[] = "@SYSTEMSTATE";
  probe_node_t& element = Node(name, VSSFS_NODE_ELEMENT);
  name[1] = 'X';  // the node keeps its own copy
  probe_node_t& writer = Node("Registry Writer", VSSFS_NODE_WRITER, &element);
  probe_node_t& component = Node("Registry", VSSFS_NODE_COMPONENT, &writer);
  probe_node_t& file = Node("c:/boot.ini", VSSFS_NODE_FILE, &component);
  EXPECT_STREQ(element.full_path, "/@SYSTEMSTATE/");
  EXPECT_STREQ(writer.full_path, "/@SYSTEMSTATE/Registry Writer/");
  EXPECT_STREQ(component.full_path, "/@SYSTEMSTATE/Registry Writer/Registry/");
  EXPECT_STREQ(file.full_path, "/@SYSTEMSTATE/Registry Writer/Registry/c:/boot.ini");
  EXPECT_EQ(element.level, 0);
  EXPECT_EQ(element.parent, nullptr);
  EXPECT_EQ(file.level, 3);
  EXPECT_EQ(file.parent, &component);
  EXPECT_EQ(file.last_unique_id, 0);
  EXPECT_THAT(job.DebugMessages(50), Contains("full_path=/@SYSTEMSTATE/Registry Writer/\n"));

  // Unnamed writers, and names with slashes of their own, are taken as they are.
  probe_node_t& unnamed = Node("", VSSFS_NODE_WRITER, &element);
  probe_node_t& nested = Node("a/b/c", VSSFS_NODE_COMPONENT, &unnamed);
  probe_node_t& dir = Node("c:/dir/", VSSFS_NODE_FILE, &nested);
  EXPECT_STREQ(unnamed.full_path, "/@SYSTEMSTATE//");
  EXPECT_STREQ(dir.full_path, "/@SYSTEMSTATE//a/b/c/c:/dir/");
}

TEST_F(NodeBase, NodesWithoutDataGiveAnEmptyStreamAndRefuseWritesAndSeeks) {
  probe_node_t& element = Node("@SYSTEMSTATE", VSSFS_NODE_ELEMENT);
  element.state = 7;
  io_pkt io{};
  io.status = io.io_errno = 99;
  EXPECT_EQ(element.pluginIoOpen(&io), hRC_OK);
  EXPECT_EQ(io.status + io.io_errno, 0);
  io.status = io.io_errno = 99;
  EXPECT_EQ(element.pluginIoRead(&io), hRC_OK);
  EXPECT_EQ(io.status + io.io_errno, 0);
  io.status = io.io_errno = 99;
  EXPECT_EQ(element.pluginIoClose(&io), hRC_OK);
  EXPECT_EQ(io.status + io.io_errno, 0);
  EXPECT_TRUE(job.JobMessages().empty());

  EXPECT_EQ(element.pluginIoWrite(&io), hRC_Error);
  EXPECT_EQ(io.io_errno, 1);
  io.io_errno = 0;
  EXPECT_EQ(element.pluginIoSeek(&io), hRC_Error);
  EXPECT_EQ(io.io_errno, 1);
  EXPECT_THAT(job.JobMessages(JMSG_FATAL),
              ElementsAre("Invalid pluginIoWrite_Node call\n", "Invalid pluginIoSeek_Node call\n"));
  EXPECT_EQ(element.state, 7);
  EXPECT_EQ(element.postRestore(), hRC_OK);
  EXPECT_THAT(job.DebugMessages(10), Contains("Leave function virtual hRC vssfs_node_t::pluginIoRead(io_pkt*)\n"));
}

}  // namespace
