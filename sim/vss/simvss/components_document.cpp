#include "components_document.h"

#include <vsserror.h>

#include "xml_dom.h"

namespace {

struct NamedValue {
  int value;
  const wchar_t* name;
};

const NamedValue kBackupTypes[] = {
    {VSS_BT_UNDEFINED, L"undefined"}, {VSS_BT_FULL, L"full"},
    {VSS_BT_INCREMENTAL, L"incremental"}, {VSS_BT_DIFFERENTIAL, L"differential"},
    {VSS_BT_LOG, L"log"}, {VSS_BT_COPY, L"copy"}, {VSS_BT_OTHER, L"other"}};
const NamedValue kComponentTypes[] = {{VSS_CT_DATABASE, L"database"},
                                      {VSS_CT_FILEGROUP, L"filegroup"}};
const NamedValue kRestoreStatuses[] = {{VSS_RS_UNDEFINED, L"undefined"}, {VSS_RS_NONE, L"none"},
                                       {VSS_RS_ALL, L"all"}, {VSS_RS_FAILED, L"failed"}};

template <size_t N>
const wchar_t* NameOf(const NamedValue (&table)[N], int value) {
  for (const NamedValue& row : table)
    if (row.value == value) return row.name;
  return L"";
}

template <size_t N>
bool ValueOf(const NamedValue (&table)[N], const std::wstring& name, int* value) {
  for (const NamedValue& row : table) {
    if (name == row.name) {
      *value = row.value;
      return true;
    }
  }
  return false;
}

const wchar_t* BoolText(bool value) { return value ? L"true" : L"false"; }

// Reads an optional true/false attribute; anything else makes the document invalid.
bool ReadBool(const XmlElement& element, const wchar_t* name, bool* value) {
  std::wstring text;
  if (!element.GetAttribute(name, &text)) return true;
  if (text == L"true") *value = true;
  else if (text == L"false") *value = false;
  else return false;
  return true;
}

void SetOptional(XmlElement& element, const wchar_t* name, const std::optional<std::wstring>& value) {
  if (value) element.SetAttribute(name, *value);
}

std::optional<std::wstring> ReadOptional(const XmlElement& element, const wchar_t* name) {
  std::wstring text;
  if (!element.GetAttribute(name, &text)) return std::nullopt;
  return text;
}

std::wstring ReadText(const XmlElement& element, const wchar_t* name) {
  std::wstring text;
  element.GetAttribute(name, &text);
  return text;
}

void SaveComponent(XmlElement& parent, const DocComponent& component) {
  XmlElement element = parent.AppendChild(L"component");
  element.SetAttribute(L"type", NameOf(kComponentTypes, component.type));
  SetOptional(element, L"logical-path", component.logical_path);
  element.SetAttribute(L"name", component.name);
  element.SetAttribute(L"backup-succeeded", BoolText(component.backup_succeeded));
  SetOptional(element, L"backup-stamp", component.backup_stamp);
  SetOptional(element, L"previous-backup-stamp", component.previous_backup_stamp);
  SetOptional(element, L"backup-options", component.backup_options);
  SetOptional(element, L"restore-options", component.restore_options);
  element.SetAttribute(L"selected-for-restore", BoolText(component.selected_for_restore));
  element.SetAttribute(L"additional-restores", BoolText(component.additional_restores));
  element.SetAttribute(L"file-restore-status", NameOf(kRestoreStatuses, component.file_restore_status));
  for (const MachineDifferencedFile& file : component.differenced_files) {
    XmlElement child = element.AppendChild(L"differenced-file");
    child.SetAttribute(L"path", file.path);
    child.SetAttribute(L"filespec", file.filespec);
    child.SetAttribute(L"recursive", BoolText(file.recursive));
    child.SetAttribute(L"lsn", file.lsn);
    child.SetAttribute(L"last-modify-time", FormatFileTime(file.last_modify_time));
  }
  for (const MachinePartialFile& file : component.partial_files) {
    XmlElement child = element.AppendChild(L"partial-file");
    child.SetAttribute(L"path", file.path);
    child.SetAttribute(L"filename", file.filename);
    child.SetAttribute(L"ranges", file.ranges);
    child.SetAttribute(L"metadata", file.metadata);
  }
}

bool LoadComponent(const XmlElement& element, DocComponent* component) {
  int value = 0;
  if (!ValueOf(kComponentTypes, ReadText(element, L"type"), &value)) return false;
  component->type = static_cast<VSS_COMPONENT_TYPE>(value);
  if (!element.GetAttribute(L"name", &component->name)) return false;
  component->logical_path = ReadOptional(element, L"logical-path");
  component->backup_stamp = ReadOptional(element, L"backup-stamp");
  component->previous_backup_stamp = ReadOptional(element, L"previous-backup-stamp");
  component->backup_options = ReadOptional(element, L"backup-options");
  component->restore_options = ReadOptional(element, L"restore-options");
  if (!ReadBool(element, L"backup-succeeded", &component->backup_succeeded) ||
      !ReadBool(element, L"selected-for-restore", &component->selected_for_restore) ||
      !ReadBool(element, L"additional-restores", &component->additional_restores))
    return false;
  std::wstring status;
  if (element.GetAttribute(L"file-restore-status", &status)) {
    if (!ValueOf(kRestoreStatuses, status, &value)) return false;
    component->file_restore_status = static_cast<VSS_FILE_RESTORE_STATUS>(value);
  }
  for (const XmlElement& child : element.Children(L"differenced-file")) {
    MachineDifferencedFile file;
    file.path = ReadText(child, L"path");
    file.filespec = ReadText(child, L"filespec");
    file.lsn = ReadText(child, L"lsn");
    if (!ReadBool(child, L"recursive", &file.recursive)) return false;
    std::wstring time;
    if (child.GetAttribute(L"last-modify-time", &time) && !ParseFileTime(time, &file.last_modify_time))
      return false;
    component->differenced_files.push_back(file);
  }
  for (const XmlElement& child : element.Children(L"partial-file")) {
    MachinePartialFile file;
    file.path = ReadText(child, L"path");
    file.filename = ReadText(child, L"filename");
    file.ranges = ReadText(child, L"ranges");
    file.metadata = ReadText(child, L"metadata");
    component->partial_files.push_back(file);
  }
  return true;
}

}  // namespace

bool SameLogicalPath(const std::optional<std::wstring>& path, const wchar_t* other) {
  const wchar_t* mine = path ? path->c_str() : L"";
  return wcscmp(mine, other ? other : L"") == 0;
}

std::shared_ptr<DocWriter> FindDocWriterByInstance(const BackupDocument& doc, const VSS_ID& instance) {
  for (const auto& writer : doc.writers)
    if (IsEqualGUID(writer->instance_id, instance)) return writer;
  return nullptr;
}

std::shared_ptr<DocWriter> FindDocWriterByClass(const BackupDocument& doc, const VSS_ID& class_id) {
  for (const auto& writer : doc.writers)
    if (IsEqualGUID(writer->class_id, class_id)) return writer;
  return nullptr;
}

std::shared_ptr<DocComponent> FindDocComponent(const DocWriter& writer, const wchar_t* logical_path,
                                               const wchar_t* name) {
  if (!name) return nullptr;
  for (const auto& component : writer.components)
    if (component->name == name && SameLogicalPath(component->logical_path, logical_path))
      return component;
  return nullptr;
}

std::shared_ptr<DocComponent> FindDocComponentByClass(const BackupDocument& doc, const VSS_ID& class_id,
                                                      const wchar_t* logical_path, const wchar_t* name) {
  for (const auto& writer : doc.writers) {
    if (!IsEqualGUID(writer->class_id, class_id)) continue;
    if (auto component = FindDocComponent(*writer, logical_path, name)) return component;
  }
  return nullptr;
}

HRESULT SaveBackupDocument(const BackupDocument& doc, BSTR* xml) {
  if (!xml) return E_INVALIDARG;
  *xml = nullptr;
  XmlDocument document;
  HRESULT hr = document.Create(L"backup-components");
  if (FAILED(hr)) return hr;
  XmlElement root = document.Root();
  root.SetAttribute(L"version", L"1");
  root.SetAttribute(L"backup-type", NameOf(kBackupTypes, doc.backup_type));
  root.SetAttribute(L"select-components", BoolText(doc.select_components));
  root.SetAttribute(L"bootable-system-state", BoolText(doc.bootable_system_state));
  root.SetAttribute(L"partial-file-support", BoolText(doc.partial_file_support));
  root.SetAttribute(L"snapshot-set", FormatVssId(doc.snapshot_set_id));
  for (const auto& writer : doc.writers) {
    XmlElement element = root.AppendChild(L"writer");
    element.SetAttribute(L"instance", FormatVssId(writer->instance_id));
    element.SetAttribute(L"class", FormatVssId(writer->class_id));
    element.SetAttribute(L"name", writer->name);
    for (const auto& component : writer->components) SaveComponent(element, *component);
  }
  return document.SerializeBstr(xml);
}

HRESULT LoadBackupDocument(const wchar_t* xml, BackupDocument* doc) {
  if (!xml || !doc) return E_INVALIDARG;
  XmlDocument document;
  HRESULT hr = document.Parse(xml);
  if (FAILED(hr) || hr == S_FALSE) return VSS_E_INVALID_XML_DOCUMENT;
  XmlElement root = document.Root();
  if (!root || root.Name() != L"backup-components") return VSS_E_INVALID_XML_DOCUMENT;
  BackupDocument loaded;
  int value = 0;
  if (!ValueOf(kBackupTypes, ReadText(root, L"backup-type"), &value)) return VSS_E_INVALID_XML_DOCUMENT;
  loaded.backup_type = static_cast<VSS_BACKUP_TYPE>(value);
  if (!ReadBool(root, L"select-components", &loaded.select_components) ||
      !ReadBool(root, L"bootable-system-state", &loaded.bootable_system_state) ||
      !ReadBool(root, L"partial-file-support", &loaded.partial_file_support))
    return VSS_E_INVALID_XML_DOCUMENT;
  std::wstring set_id;
  if (root.GetAttribute(L"snapshot-set", &set_id) && !ParseVssId(set_id, &loaded.snapshot_set_id))
    return VSS_E_INVALID_XML_DOCUMENT;
  for (const XmlElement& element : root.Children(L"writer")) {
    auto writer = std::make_shared<DocWriter>();
    if (!ParseVssId(ReadText(element, L"instance"), &writer->instance_id) ||
        !ParseVssId(ReadText(element, L"class"), &writer->class_id))
      return VSS_E_INVALID_XML_DOCUMENT;
    writer->name = ReadText(element, L"name");
    for (const XmlElement& child : element.Children(L"component")) {
      auto component = std::make_shared<DocComponent>();
      if (!LoadComponent(child, component.get())) return VSS_E_INVALID_XML_DOCUMENT;
      writer->components.push_back(component);
    }
    loaded.writers.push_back(writer);
  }
  *doc = std::move(loaded);
  return S_OK;
}
