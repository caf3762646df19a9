// A plug-in instance made inside the test program, with its messages going to a test job
// and its fileset calls recorded.
#pragma once

#include "../support/plugin_instance_test.h"

#include <string>
#include <vector>

// "NewOptions", "AddOptions <options>" and "AddRegex <expression> <type>", in the order made.
std::vector<std::string>& FilesetCalls();
// Expressions handed to AddRegex that had run past the end of their own block.
int& RegexOverruns();

class PluginInstance : public PluginInstanceTest {
 protected:
  void ConfigureHost(hFuncs& host) override;

  bool HasDebugLine(int level, const std::string& text) const;
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
