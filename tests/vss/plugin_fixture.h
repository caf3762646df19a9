// A plug-in instance made inside the test program, with its messages going to a test job
// and its fileset calls recorded.
#pragma once

#include "../../plugin/frame/host_interface.h"
#include "../../plugin/frame/host_alloc.h"
#include "../../plugin/frame/host_messages.h"
#include "../../plugin/frame/vssfs.h"
#include "../../sim/host/harbek/harbek_accounting.h"
#include "../../sim/host/testhost/test_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// "NewOptions", "AddOptions <options>" and "AddRegex <expression> <type>", in the order made.
std::vector<std::string>& FilesetCalls();
// Expressions handed to AddRegex that had run past the end of their own block.
int& RegexOverruns();

class PluginInstance : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool HasDebugLine(int level, const std::string& text) const;

  size_t blocks_before = 0;
  TestJob job;
  vssfs_t* vssfs = nullptr;
};

// Keeps one registry value as the test found it and puts it back (or removes it) afterwards.
class SavedRegistryValue {
 public:
  SavedRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);
  ~SavedRegistryValue();
  SavedRegistryValue(const SavedRegistryValue&) = delete;
  SavedRegistryValue& operator=(const SavedRegistryValue&) = delete;

 private:
  HKEY root_;
  std::wstring key_;
  std::wstring name_;
  bool existed_ = false;
  DWORD type_ = 0;
  std::vector<BYTE> data_;
};

// A registry value's raw bytes; empty with *exists false when there is none.
std::vector<BYTE> ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name,
                                    DWORD* type = nullptr, bool* exists = nullptr);
void WriteRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type,
                        const void* data, DWORD size);
void DeleteRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);
