// What the tests of the tree's building blocks share: an instance whose messages go to a test
// job, a small node kind to stand above the nodes under test, and real folders on C:.
#pragma once

#include "../support/plugin_instance_test.h"
#include "../support/test_folders.h"
#include "../../plugin/tree/vssfs_node.h"

#include <windows.h>

#include <string>
#include <vector>

// A node with no behaviour of its own: the parents of the nodes under test.
class probe_node_t : public vssfs_node_t {
 public:
  probe_node_t(vssfs_t* vssfs, const char* name, int type)
      : vssfs_node_t(vssfs, const_cast<char*>(name), type) {}
  probe_node_t(vssfs_t* vssfs, const char* name, int type, vssfs_node_t* parent)
      : vssfs_node_t(vssfs, const_cast<char*>(name), type, parent) {}
  hRC startBackupFile(save_pkt*) override { return hRC_OK; }
  hRC endBackupFile() override { return hRC_OK; }
  hRC createFile(restore_pkt*) override { return hRC_OK; }
  hRC endRestoreFile() override { return hRC_OK; }
};

// An instance in this process whose host answers checkChanges with what the test sets.
class InstanceTest : public PluginInstanceTest {
 protected:
  void ConfigureHost(hFuncs& host) override {
    check_changes_answer = hRC_OK;
    host.checkChanges = CheckChanges;
  }

  static hRC check_changes_answer;
  static hRC CheckChanges(hpContext*, save_pkt*) { return check_changes_answer; }

  bool JobMessagesContain(int type, const std::string& part) const;
  size_t DebugCount(const std::string& text) const;
};

// A folder C:\snaptree-tests\tree-<suite>-<test> made afresh for each test and removed after it.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  const std::wstring& root() const { return root_; }
  std::wstring operator/(const std::wstring& relative) const { return root_ + L"\\" + relative; }

  // Relative names; a name ending in a backslash is a folder. Parents are made as needed.
  void Make(const std::vector<std::wstring>& entries) const;
  void Write(const std::wstring& relative, const std::string& content) const;
  // A folder that the system reports as a reparse point (made as a link by the host system,
  // since this platform has no call that makes one).
  bool MakeLinkedFolder(const std::wstring& relative, const std::wstring& target_relative) const;

 private:
  std::wstring root_;
};

std::string ReadWholeFile(const std::wstring& path);
