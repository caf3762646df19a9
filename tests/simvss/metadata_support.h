// Shared by the writer metadata tests: a writer that uses every field, and the reading of a
// metadata object back into a model through nothing but its COM interfaces.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "machine.h"
#include "object_count.h"
#include "writer_metadata.h"

namespace metadata_support {

inline VSS_ID Id(const wchar_t* text) {
  VSS_ID id = GUID_NULL;
  EXPECT_TRUE(ParseVssId(text, &id)) << text;
  return id;
}

inline MachineFile File(const wchar_t* path, const wchar_t* spec, bool recursive = false) {
  MachineFile f;
  f.path = path;
  f.filespec = spec;
  f.recursive = recursive;
  return f;
}

// Every field set, most to something other than its default, with texts that need escaping.
inline MachineWriter SampleWriter() {
  MachineWriter w;
  w.name = L"Sample <&> \"Writer\" \u00e9";
  w.class_id = Id(L"{a65faa63-5ea8-4ebc-9dbd-a0c4db26912a}");
  w.instance_id = Id(L"{11111111-2222-3333-4444-555555555555}");
  w.usage = VSS_UT_USERDATA;
  w.source = VSS_ST_TRANSACTEDDB;
  w.backup_schema = VSS_BS_DIFFERENTIAL | VSS_BS_INCREMENTAL | 0x40000;
  w.restore.method = VSS_RME_STOP_RESTORE_START;
  w.restore.service_name = L"SampleSvc";
  w.restore.user_procedure = L"";
  w.restore.writer_restore = VSS_WRE_IF_REPLACE_FAILS;
  w.restore.reboot_required = true;
  MachineFile mapping = File(L"%SIMVSS_ROOT%\\Data", L"*.mdf");
  mapping.alternate_location = L"%SIMVSS_ROOT%\\Elsewhere";
  w.restore.alternate_mappings.push_back(mapping);

  MachineComponent top;
  top.type = VSS_CT_FILEGROUP;
  top.name = L"Top";
  top.caption = L"T";
  top.files.push_back(File(L"%SIMVSS_ROOT%\\Top", L"*", true));
  top.backup_stamp = L"stamp-1";
  w.components.push_back(top);

  MachineComponent db;
  db.type = VSS_CT_DATABASE;
  db.logical_path = L"Top";
  db.name = L"Data base";
  db.selectable = false;
  db.selectable_for_restore = false;
  db.restore_metadata = true;
  db.notify_on_backup_complete = true;
  db.component_flags = VSS_CF_APP_ROLLBACK_RECOVERY;
  MachineFile data = File(L"%SIMVSS_ROOT%\\Data", L"db.mdf");
  data.backup_type_mask = VSS_FSBT_FULL_BACKUP_REQUIRED | VSS_FSBT_FULL_SNAPSHOT_REQUIRED;
  data.alternate_location = L"";
  db.databases.push_back(data);
  db.logs.push_back(File(L"%SIMVSS_ROOT%\\Logs", L"db_log.ldf"));
  db.logs.push_back(File(L"%SIMVSS_ROOT%\\Logs", L"db_log2.ldf"));
  MachineDependency on_top;
  on_top.writer_class_id = w.class_id;
  on_top.component_name = L"Top";
  db.dependencies.push_back(on_top);
  MachineDependency elsewhere;
  elsewhere.writer_class_id = Id(L"{e8132975-6f93-4464-a53e-1050253ae220}");
  elsewhere.logical_path = L"";
  elsewhere.component_name = L"System Files";
  db.dependencies.push_back(elsewhere);
  MachineDifferencedFile changed;
  changed.path = L"%SIMVSS_ROOT%\\Data";
  changed.filespec = L"*.ndf";
  changed.last_modify_time = {0x89abcdef, 0x01234567};
  db.differenced_files.push_back(changed);
  MachinePartialFile part;
  part.path = L"%SIMVSS_ROOT%\\Data";
  part.filename = L"db.mdf";
  part.ranges = L"0:512";
  db.partial_files.push_back(part);
  w.components.push_back(db);

  w.excluded_files.push_back(File(L"%SIMVSS_ROOT%\\Data", L"*.tmp", true));
  w.include_files.push_back(File(L"%SIMVSS_ROOT%\\Extra", L"x.dat"));
  w.state_after_snapshot = VSS_WS_FAILED_AT_FREEZE;
  w.failure_after_snapshot = VSS_E_WRITERERROR_TIMEOUT;
  return w;
}

// What a writer metadata document carries of a writer: all but backup results and states.
inline MachineWriter MetadataOnly(MachineWriter w) {
  for (MachineComponent& c : w.components) {
    c.backup_stamp.reset();
    c.differenced_files.clear();
    c.partial_files.clear();
  }
  MachineWriter defaults;
  w.state_after_snapshot = defaults.state_after_snapshot;
  w.failure_after_snapshot = defaults.failure_after_snapshot;
  w.fail_at = defaults.fail_at;
  w.fail_code = defaults.fail_code;
  w.absent_at_restore = defaults.absent_at_restore;
  w.locked_at_restore.clear();
  return w;
}

inline std::optional<std::wstring> TakeBstr(BSTR b) {
  if (!b) return std::nullopt;
  std::wstring text(b, SysStringLen(b));
  SysFreeString(b);
  return text;
}

inline MachineFile ReadFile(IVssWMFiledesc* d) {
  MachineFile f;
  BSTR b = nullptr;
  EXPECT_EQ(S_OK, d->GetPath(&b));
  f.path = TakeBstr(b).value_or(L"<null>");
  EXPECT_EQ(S_OK, d->GetFilespec(&b));
  f.filespec = TakeBstr(b).value_or(L"<null>");
  boolean recursive = false;
  EXPECT_EQ(S_OK, d->GetRecursive(&recursive));
  f.recursive = recursive;
  HRESULT alternate = d->GetAlternateLocation(&b);
  f.alternate_location = TakeBstr(b);
  EXPECT_EQ(f.alternate_location ? S_OK : S_FALSE, alternate);  // none: S_FALSE and null
  EXPECT_EQ(S_OK, d->GetBackupTypeMask(&f.backup_type_mask));
  d->Release();
  return f;
}

template <class Get>
std::vector<MachineFile> ReadFiles(UINT count, Get get) {
  std::vector<MachineFile> files;
  for (UINT i = 0; i < count; ++i) {
    IVssWMFiledesc* d = nullptr;
    EXPECT_EQ(S_OK, get(i, &d));
    if (d) files.push_back(ReadFile(d));
  }
  return files;
}

// The writer as a requester sees it; fields no interface shows stay at their defaults.
inline MachineWriter ReadThroughInterfaces(IVssExamineWriterMetadata* m) {
  MachineWriter w;
  BSTR name = nullptr;
  EXPECT_EQ(S_OK, m->GetIdentity(&w.instance_id, &w.class_id, &name, &w.usage, &w.source));
  w.name = TakeBstr(name).value_or(L"<null>");
  EXPECT_EQ(S_OK, m->GetBackupSchema(&w.backup_schema));
  BSTR service = nullptr, procedure = nullptr;
  boolean reboot = false;
  UINT mappings = 0;
  EXPECT_EQ(S_OK, m->GetRestoreMethod(&w.restore.method, &service, &procedure,
                                      &w.restore.writer_restore, &reboot, &mappings));
  w.restore.service_name = TakeBstr(service);
  w.restore.user_procedure = TakeBstr(procedure);
  w.restore.reboot_required = reboot;
  w.restore.alternate_mappings =
      ReadFiles(mappings, [&](UINT i, IVssWMFiledesc** d) { return m->GetAlternateLocationMapping(i, d); });
  UINT includes = 0, excludes = 0, components = 0;
  EXPECT_EQ(S_OK, m->GetFileCounts(&includes, &excludes, &components));
  w.include_files = ReadFiles(includes, [&](UINT i, IVssWMFiledesc** d) { return m->GetIncludeFile(i, d); });
  w.excluded_files = ReadFiles(excludes, [&](UINT i, IVssWMFiledesc** d) { return m->GetExcludeFile(i, d); });
  for (UINT i = 0; i < components; ++i) {
    IVssWMComponent* wc = nullptr;
    EXPECT_EQ(S_OK, m->GetComponent(i, &wc));
    if (!wc) continue;
    PVSSCOMPONENTINFO info = nullptr;
    EXPECT_EQ(S_OK, wc->GetComponentInfo(&info));
    MachineComponent c;
    c.type = info->type;
    c.logical_path = info->bstrLogicalPath ? std::optional<std::wstring>(info->bstrLogicalPath) : std::nullopt;
    c.name = info->bstrComponentName;
    c.caption = info->bstrCaption ? std::optional<std::wstring>(info->bstrCaption) : std::nullopt;
    c.selectable = info->bSelectable;
    c.selectable_for_restore = info->bSelectableForRestore;
    c.restore_metadata = info->bRestoreMetadata;
    c.notify_on_backup_complete = info->bNotifyOnBackupComplete;
    c.component_flags = info->dwComponentFlags;
    c.files = ReadFiles(info->cFileCount, [&](UINT k, IVssWMFiledesc** d) { return wc->GetFile(k, d); });
    c.databases = ReadFiles(info->cDatabases, [&](UINT k, IVssWMFiledesc** d) { return wc->GetDatabaseFile(k, d); });
    c.logs = ReadFiles(info->cLogFiles, [&](UINT k, IVssWMFiledesc** d) { return wc->GetDatabaseLogFile(k, d); });
    for (UINT k = 0; k < info->cDependencies; ++k) {
      IVssWMDependency* dep = nullptr;
      EXPECT_EQ(S_OK, wc->GetDependency(k, &dep));
      if (!dep) continue;
      MachineDependency d;
      BSTR b = nullptr;
      EXPECT_EQ(S_OK, dep->GetWriterId(&d.writer_class_id));
      EXPECT_EQ(S_OK, dep->GetLogicalPath(&b));
      d.logical_path = TakeBstr(b);
      EXPECT_EQ(S_OK, dep->GetComponentName(&b));
      d.component_name = TakeBstr(b).value_or(L"<null>");
      dep->Release();
      c.dependencies.push_back(d);
    }
    EXPECT_EQ(S_OK, wc->FreeComponentInfo(info));
    wc->Release();
    w.components.push_back(c);
  }
  return w;
}

// Proves that a test released every object it obtained.
class ObjectCountTest : public ::testing::Test {
 protected:
  void SetUp() override { baseline_ = g_simvss_objects; }
  void TearDown() override { EXPECT_EQ(baseline_, g_simvss_objects) << "a COM object leaked"; }

 private:
  LONG baseline_ = 0;
};

}  // namespace metadata_support
