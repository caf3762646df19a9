// The backup components document: the components a requester added to a backup with what the
// writers and the requester recorded for each, kept in memory and saved as UTF-16 XML. The same
// document, read back, drives a restore.
//
//   <backup-components version="1" backup-type="full" select-components="true"
//                      bootable-system-state="true" partial-file-support="false"
//                      snapshot-set="{...}">
//     <writer instance="{...}" class="{...}" name="Registry Writer">
//       <component type="filegroup" logical-path="..." name="Registry" backup-succeeded="true"
//                  backup-stamp="..." previous-backup-stamp="..." backup-options="..."
//                  restore-options="..." selected-for-restore="false" additional-restores="false"
//                  file-restore-status="undefined">
//         <differenced-file path="..." filespec="*" recursive="true" lsn=""
//                           last-modify-time="132000000000000000"/>
//         <partial-file path="..." filename="..." ranges="..." metadata="..."/>
//       </component>
//     </writer>
//   </backup-components>
//
// An attribute left out stands for a text that is absent (null), not empty.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"

struct DocComponent {
  VSS_COMPONENT_TYPE type = VSS_CT_FILEGROUP;
  std::optional<std::wstring> logical_path;
  std::wstring name;
  bool backup_succeeded = false;
  std::optional<std::wstring> backup_stamp;
  std::optional<std::wstring> previous_backup_stamp;
  std::optional<std::wstring> backup_options;
  std::optional<std::wstring> restore_options;
  std::vector<MachineDifferencedFile> differenced_files;
  std::vector<MachinePartialFile> partial_files;
  bool selected_for_restore = false;
  bool additional_restores = false;
  VSS_FILE_RESTORE_STATUS file_restore_status = VSS_RS_UNDEFINED;
  bool file_restore_status_set = false;  // not saved: only the restore that sets it checks it
  bool backup_complete = true;           // not saved: false from AddComponent until BackupComplete
};

struct DocWriter {
  VSS_ID instance_id = GUID_NULL;
  VSS_ID class_id = GUID_NULL;
  std::wstring name;
  std::vector<std::shared_ptr<DocComponent>> components;
};

struct BackupDocument {
  VSS_BACKUP_TYPE backup_type = VSS_BT_FULL;
  bool select_components = false;
  bool bootable_system_state = false;
  bool partial_file_support = false;
  VSS_ID snapshot_set_id = GUID_NULL;
  std::vector<std::shared_ptr<DocWriter>> writers;
};

// Components are named within a writer by (logical path, name); an absent path equals an empty one.
bool SameLogicalPath(const std::optional<std::wstring>& path, const wchar_t* other);
std::shared_ptr<DocWriter> FindDocWriterByInstance(const BackupDocument& doc, const VSS_ID& instance);
std::shared_ptr<DocWriter> FindDocWriterByClass(const BackupDocument& doc, const VSS_ID& class_id);
std::shared_ptr<DocComponent> FindDocComponent(const DocWriter& writer, const wchar_t* logical_path,
                                               const wchar_t* name);
// The first component of any writer of that class named so.
std::shared_ptr<DocComponent> FindDocComponentByClass(const BackupDocument& doc, const VSS_ID& class_id,
                                                      const wchar_t* logical_path, const wchar_t* name);

// Into a NUL-terminated BSTR owned by the caller.
HRESULT SaveBackupDocument(const BackupDocument& doc, BSTR* xml);
// VSS_E_INVALID_XML_DOCUMENT when the text is not XML or not a backup components document.
HRESULT LoadBackupDocument(const wchar_t* xml, BackupDocument* doc);
