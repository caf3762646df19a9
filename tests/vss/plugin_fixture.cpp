#include "plugin_fixture.h"

#include <algorithm>
#include <cstring>

namespace {

std::vector<std::string> g_fileset_calls;
int g_regex_overruns;

hRC record_new_options(hpContext*) {
  g_fileset_calls.push_back("NewOptions");
  return hRC_OK;
}

hRC record_add_options(hpContext*, const char* options) {
  g_fileset_calls.push_back(std::string("AddOptions ") + options);
  return hRC_OK;
}

hRC record_add_regex(hpContext*, const char* regex, int type) {
  // The plug-in's blocks come from the process heap through the stand-in core library.
  if (HeapSize(GetProcessHeap(), 0, regex) < strlen(regex) + 1) ++g_regex_overruns;
  g_fileset_calls.push_back(std::string("AddRegex ") + regex + " " + static_cast<char>(type));
  return hRC_OK;
}

}  // namespace

std::vector<std::string>& FilesetCalls() { return g_fileset_calls; }
int& RegexOverruns() { return g_regex_overruns; }

void PluginInstance::ConfigureHost(hFuncs& host) {
  g_fileset_calls.clear();
  g_regex_overruns = 0;
  host.NewOptions = record_new_options;
  host.AddOptions = record_add_options;
  host.AddRegex = record_add_regex;
}

bool PluginInstance::HasDebugLine(int level, const std::string& text) const {
  auto lines = job.DebugMessages(level);
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

std::vector<BYTE> ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD* type,
                                    bool* exists) {
  DWORD size = 0;
  DWORD value_type = 0;
  LONG rc = RegGetValueW(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &value_type, nullptr, &size);
  if (exists) *exists = rc == ERROR_SUCCESS;
  if (type) *type = value_type;
  std::vector<BYTE> data(size);
  if (rc != ERROR_SUCCESS || size == 0) return {};
  RegGetValueW(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, nullptr, data.data(), &size);
  data.resize(size);
  return data;
}

void WriteRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type, const void* data,
                        DWORD size) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(handle);
}

void DeleteRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return;
  RegDeleteValueW(handle, name);
  RegCloseKey(handle);
}

SavedRegistryValue::SavedRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name)
    : root_(root), key_(key), name_(name) {
  data_ = ReadRegistryValue(root, key, name, &type_, &existed_);
}

SavedRegistryValue::~SavedRegistryValue() {
  if (existed_) {
    WriteRegistryValue(root_, key_.c_str(), name_.c_str(), type_, data_.data(),
                       static_cast<DWORD>(data_.size()));
  } else {
    DeleteRegistryValue(root_, key_.c_str(), name_.c_str());
  }
}
