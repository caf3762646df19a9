#include "machine.h"

#include <vsserror.h>
#include <cwchar>
#include <cwctype>
#include <initializer_list>

#include "machine_xml.h"

namespace {

struct EnumName {
  const wchar_t* name;
  DWORD value;
};

const EnumName kUsageNames[] = {{L"UNDEFINED", 0}, {L"BOOTABLESYSTEMSTATE", 1},
                                {L"SYSTEMSERVICE", 2}, {L"USERDATA", 3}, {L"OTHER", 4}, {}};
const EnumName kSourceNames[] = {{L"UNDEFINED", 0}, {L"TRANSACTEDDB", 1},
                                 {L"NONTRANSACTEDDB", 2}, {L"OTHER", 3}, {}};
const EnumName kRestoreMethodNames[] = {{L"UNDEFINED", 0},
                                        {L"RESTORE_IF_NOT_THERE", 1},
                                        {L"RESTORE_IF_CAN_REPLACE", 2},
                                        {L"STOP_RESTORE_START", 3},
                                        {L"RESTORE_TO_ALTERNATE_LOCATION", 4},
                                        {L"RESTORE_AT_REBOOT", 5},
                                        {L"RESTORE_AT_REBOOT_IF_CANNOT_REPLACE", 6},
                                        {L"CUSTOM", 7},
                                        {L"RESTORE_STOP_START", 8},
                                        {}};
const EnumName kWriterRestoreNames[] = {{L"UNDEFINED", 0}, {L"NEVER", 1},
                                        {L"IF_REPLACE_FAILS", 2}, {L"ALWAYS", 3}, {}};
const EnumName kComponentTypeNames[] = {{L"UNDEFINED", 0}, {L"DATABASE", 1}, {L"FILEGROUP", 2}, {}};
const EnumName kWriterStateNames[] = {{L"UNKNOWN", 0},
                                      {L"STABLE", 1},
                                      {L"WAITING_FOR_FREEZE", 2},
                                      {L"WAITING_FOR_THAW", 3},
                                      {L"WAITING_FOR_POST_SNAPSHOT", 4},
                                      {L"WAITING_FOR_BACKUP_COMPLETE", 5},
                                      {L"FAILED_AT_IDENTIFY", 6},
                                      {L"FAILED_AT_PREPARE_BACKUP", 7},
                                      {L"FAILED_AT_PREPARE_SNAPSHOT", 8},
                                      {L"FAILED_AT_FREEZE", 9},
                                      {L"FAILED_AT_THAW", 10},
                                      {L"FAILED_AT_POST_SNAPSHOT", 11},
                                      {L"FAILED_AT_BACKUP_COMPLETE", 12},
                                      {L"FAILED_AT_PRE_RESTORE", 13},
                                      {L"FAILED_AT_POST_RESTORE", 14},
                                      {L"FAILED_AT_BACKUPSHUTDOWN", 15},
                                      {}};
// Phases a writer can be made to fail at, as bits 1 << VSS_WS_FAILED_AT_<phase>.
const EnumName kFailPhaseBits[] = {{L"IDENTIFY", 1u << 6},         {L"PREPARE_BACKUP", 1u << 7},
                                   {L"PREPARE_SNAPSHOT", 1u << 8}, {L"FREEZE", 1u << 9},
                                   {L"THAW", 1u << 10},            {L"POST_SNAPSHOT", 1u << 11},
                                   {L"BACKUP_COMPLETE", 1u << 12}, {L"PRE_RESTORE", 1u << 13},
                                   {L"POST_RESTORE", 1u << 14},    {}};
const wchar_t* const kOperationNames[] = {L"GatherWriterMetadata", L"GatherWriterStatus", L"PrepareForBackup",
                                          L"DoSnapshotSet",        L"BackupComplete",     L"PreRestore",
                                          L"PostRestore"};
// Bit sets: names of single bits (or documented groups), written and read joined by "|".
const EnumName kSchemaBits[] = {{L"DIFFERENTIAL", 0x1},
                                {L"INCREMENTAL", 0x2},
                                {L"EXCLUSIVE_INCREMENTAL_DIFFERENTIAL", 0x4},
                                {L"LOG", 0x8},
                                {L"COPY", 0x10},
                                {L"TIMESTAMPED", 0x20},
                                {L"LAST_MODIFY", 0x40},
                                {L"LSN", 0x80},
                                {L"WRITER_SUPPORTS_NEW_TARGET", 0x100},
                                {L"WRITER_SUPPORTS_RESTORE_WITH_MOVE", 0x200},
                                {L"INDEPENDENT_SYSTEM_STATE", 0x400},
                                {L"ROLLFORWARD_RESTORE", 0x1000},
                                {L"RESTORE_RENAME", 0x2000},
                                {L"AUTHORITATIVE_RESTORE", 0x4000},
                                {L"WRITER_SUPPORTS_PARALLEL_RESTORES", 0x8000},
                                {}};
const EnumName kTypeMaskBits[] = {{L"ALL_BACKUP_REQUIRED", 0xf},
                                  {L"ALL_SNAPSHOT_REQUIRED", 0xf00},
                                  {L"FULL_BACKUP_REQUIRED", 0x1},
                                  {L"DIFFERENTIAL_BACKUP_REQUIRED", 0x2},
                                  {L"INCREMENTAL_BACKUP_REQUIRED", 0x4},
                                  {L"LOG_BACKUP_REQUIRED", 0x8},
                                  {L"FULL_SNAPSHOT_REQUIRED", 0x100},
                                  {L"DIFFERENTIAL_SNAPSHOT_REQUIRED", 0x200},
                                  {L"INCREMENTAL_SNAPSHOT_REQUIRED", 0x400},
                                  {L"LOG_SNAPSHOT_REQUIRED", 0x800},
                                  {L"CREATED_DURING_BACKUP", 0x10000},
                                  {}};
const EnumName kComponentFlagBits[] = {{L"BACKUP_RECOVERY", 0x1},
                                       {L"APP_ROLLBACK_RECOVERY", 0x2},
                                       {L"NOT_SYSTEM_STATE", 0x4},
                                       {}};

std::wstring Trim(const std::wstring& text) {
  size_t first = 0, last = text.size();
  while (first < last && iswspace(text[first])) ++first;
  while (last > first && iswspace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// A number in decimal or with a 0x prefix, the whole text and within 32 bits.
bool ParseDword(const std::wstring& text, DWORD* out) {
  std::wstring t = Trim(text);
  if (t.empty() || t[0] == L'-' || t[0] == L'+') return false;
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long long value = wcstoull(t.c_str(), &end, 0);
  if (errno != 0 || *end != 0 || value > 0xFFFFFFFFull) return false;
  *out = static_cast<DWORD>(value);
  return true;
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(value));
  return text;
}

// Accepts the short name, the SDK's full name (VSS_UT_USERDATA), or a number.
bool ParseEnumValue(const std::wstring& text, const EnumName* table, DWORD* out) {
  std::wstring t = Trim(text);
  if (t.size() > 4 && _wcsnicmp(t.c_str(), L"VSS_", 4) == 0) {
    size_t second = t.find(L'_', 4);
    if (second != std::wstring::npos) t.erase(0, second + 1);
  }
  for (const EnumName* e = table; e->name; ++e) {
    if (_wcsicmp(t.c_str(), e->name) == 0) {
      *out = e->value;
      return true;
    }
  }
  return ParseDword(t, out);
}

bool ParseMask(const std::wstring& text, const EnumName* table, DWORD* out) {
  DWORD mask = 0;
  size_t start = 0;
  std::wstring t = Trim(text);
  if (t.empty()) return false;
  for (;;) {
    size_t bar = t.find(L'|', start);
    DWORD part = 0;
    if (!ParseEnumValue(t.substr(start, bar == std::wstring::npos ? bar : bar - start), table, &part))
      return false;
    mask |= part;
    if (bar == std::wstring::npos) break;
    start = bar + 1;
  }
  *out = mask;
  return true;
}

std::wstring EnumText(DWORD value, const EnumName* table) {
  for (const EnumName* e = table; e->name; ++e)
    if (e->value == value) return e->name;
  return std::to_wstring(value);
}

// Named bits first (groups before their members, as the tables list them), the rest in hex.
std::wstring MaskText(DWORD value, const EnumName* table) {
  if (value == 0) return L"0";
  std::wstring text;
  DWORD rest = value;
  for (const EnumName* e = table; e->name; ++e) {
    if ((rest & e->value) == e->value) {
      if (!text.empty()) text += L"|";
      text += e->name;
      rest &= ~e->value;
    }
  }
  if (rest) {
    if (!text.empty()) text += L"|";
    text += Hex(rest);
  }
  return text;
}

bool ParseBool(const std::wstring& text, bool* out) {
  std::wstring t = Trim(text);
  for (const wchar_t* yes : {L"true", L"yes", L"1"})
    if (_wcsicmp(t.c_str(), yes) == 0) return *out = true, true;
  for (const wchar_t* no : {L"false", L"no", L"0"})
    if (_wcsicmp(t.c_str(), no) == 0) return *out = false, true;
  return false;
}

// Reads elements with strict checking: an unknown attribute or child is a mistake in the
// description, reported with where it stands.
class Reader {
 public:
  explicit Reader(std::wstring* error) : error_(error) {}

  bool Fail(const XmlElement& at, const std::wstring& what) {
    if (error_ && error_->empty()) {
      std::wstring where;
      for (const std::wstring& level : context_) where += level + L": ";
      std::wstring name;
      where += L"<" + at.Name();
      if (at.GetAttribute(L"name", &name)) where += L" name=\"" + name + L"\"";
      *error_ = where + L">: " + what;
    }
    return false;
  }

  void Enter(const XmlElement& e) {
    std::wstring name;
    e.GetAttribute(L"name", &name);
    context_.push_back(L"<" + e.Name() + L" name=\"" + name + L"\">");
  }
  void Leave() { context_.pop_back(); }

  bool Only(const XmlElement& e, std::initializer_list<const wchar_t*> attributes,
            std::initializer_list<const wchar_t*> children) {
    for (const std::wstring& a : e.AttributeNames()) {
      bool known = false;
      for (const wchar_t* k : attributes) known = known || a == k;
      if (!known) return Fail(e, L"unknown attribute \"" + a + L"\"");
    }
    for (const XmlElement& c : e.Children()) {
      bool known = false;
      std::wstring name = c.Name();
      for (const wchar_t* k : children) known = known || name == k;
      if (!known) return Fail(e, L"unknown element <" + name + L">");
    }
    return true;
  }

  bool Text(const XmlElement& e, const wchar_t* name, std::wstring* out) {
    if (!e.GetAttribute(name, out)) return Fail(e, std::wstring(L"missing attribute \"") + name + L"\"");
    return true;
  }

  bool OptionalText(const XmlElement& e, const wchar_t* name, std::optional<std::wstring>* out) {
    std::wstring value;
    if (e.GetAttribute(name, &value)) *out = value;
    else out->reset();
    return true;
  }

  bool Bool(const XmlElement& e, const wchar_t* name, bool* out) {
    return Optional(e, name, out, ParseBool, L"true or false");
  }

  template <class T>
  bool Enum(const XmlElement& e, const wchar_t* name, const EnumName* table, T* out) {
    auto parse = [table](const std::wstring& text, T* value) {
      DWORD v = 0;
      if (!ParseEnumValue(text, table, &v)) return false;
      *value = static_cast<T>(v);
      return true;
    };
    return Optional(e, name, out, parse, L"a known name or a number");
  }

  bool Mask(const XmlElement& e, const wchar_t* name, const EnumName* table, DWORD* out) {
    auto parse = [table](const std::wstring& text, DWORD* value) { return ParseMask(text, table, value); };
    return Optional(e, name, out, parse, L"names or numbers joined by |");
  }

  bool Number(const XmlElement& e, const wchar_t* name, DWORD* out) {
    return Optional(e, name, out, ParseDword, L"a 32-bit number");
  }

  bool Time(const XmlElement& e, const wchar_t* name, FILETIME* out) {
    return Optional(e, name, out, ParseFileTime, L"a FILETIME number or YYYY-MM-DDTHH:MM:SSZ");
  }

  bool Id(const XmlElement& e, const wchar_t* name, VSS_ID* out) {
    std::wstring value;
    if (!Text(e, name, &value)) return false;
    if (!ParseVssId(value, out)) return Bad(e, name, value, L"a GUID");
    return true;
  }

 private:
  // An attribute that may be left out (the field keeps its default) but must parse when given.
  template <class T, class Parse>
  bool Optional(const XmlElement& e, const wchar_t* name, T* out, Parse parse, const wchar_t* expected) {
    std::wstring value;
    if (!e.GetAttribute(name, &value)) return true;
    if (!parse(value, out)) return Bad(e, name, value, expected);
    return true;
  }

  bool Bad(const XmlElement& e, const wchar_t* name, const std::wstring& value, const wchar_t* expected) {
    return Fail(e, std::wstring(L"attribute \"") + name + L"\" is \"" + value + L"\", expected " + expected);
  }

  std::wstring* error_;
  std::vector<std::wstring> context_;
};

bool ReadFile(Reader& r, const XmlElement& e, MachineFile* f) {
  return r.Only(e, {L"path", L"filespec", L"recursive", L"alternateLocation", L"typeMask"}, {}) &&
         r.Text(e, L"path", &f->path) && r.Text(e, L"filespec", &f->filespec) &&
         r.Bool(e, L"recursive", &f->recursive) &&
         r.OptionalText(e, L"alternateLocation", &f->alternate_location) &&
         r.Mask(e, L"typeMask", kTypeMaskBits, &f->backup_type_mask);
}

bool ReadFiles(Reader& r, const XmlElement& parent, const wchar_t* name, std::vector<MachineFile>* out) {
  for (const XmlElement& e : parent.Children(name)) {
    MachineFile f;
    if (!ReadFile(r, e, &f)) return false;
    out->push_back(f);
  }
  return true;
}

void WriteFile(XmlElement e, const MachineFile& f) {
  e.SetAttribute(L"path", f.path);
  e.SetAttribute(L"filespec", f.filespec);
  e.SetAttribute(L"recursive", f.recursive ? L"true" : L"false");
  if (f.alternate_location) e.SetAttribute(L"alternateLocation", *f.alternate_location);
  e.SetAttribute(L"typeMask", MaskText(f.backup_type_mask, kTypeMaskBits));
}

void WriteFiles(XmlElement& parent, const wchar_t* name, const std::vector<MachineFile>& files) {
  for (const MachineFile& f : files) WriteFile(parent.AppendChild(name), f);
}

bool SameComponentName(const std::optional<std::wstring>& path, const std::wstring& name,
                       const wchar_t* other_path, const wchar_t* other_name) {
  const std::wstring empty;
  const std::wstring& p = path ? *path : empty;
  return p == (other_path ? other_path : L"") && name == (other_name ? other_name : L"");
}

bool ReadComponent(Reader& r, const XmlElement& e, WriterParts parts, MachineComponent* c) {
  const bool results = parts == WriterParts::kWithBackupResults;
  r.Enter(e);
  bool ok =
      (results ? r.Only(e,
                        {L"type", L"logicalPath", L"name", L"caption", L"selectable",
                         L"selectableForRestore", L"restoreMetadata", L"notifyOnBackupComplete",
                         L"flags", L"backupStamp"},
                        {L"file", L"database", L"log", L"dependency", L"differencedFile",
                         L"partialFile"})
               : r.Only(e,
                        {L"type", L"logicalPath", L"name", L"caption", L"selectable",
                         L"selectableForRestore", L"restoreMetadata", L"notifyOnBackupComplete",
                         L"flags"},
                        {L"file", L"database", L"log", L"dependency"})) &&
      r.Enum(e, L"type", kComponentTypeNames, &c->type) &&
      r.OptionalText(e, L"logicalPath", &c->logical_path) && r.Text(e, L"name", &c->name) &&
      r.OptionalText(e, L"caption", &c->caption) && r.Bool(e, L"selectable", &c->selectable) &&
      r.Bool(e, L"selectableForRestore", &c->selectable_for_restore) &&
      r.Bool(e, L"restoreMetadata", &c->restore_metadata) &&
      r.Bool(e, L"notifyOnBackupComplete", &c->notify_on_backup_complete) &&
      r.Mask(e, L"flags", kComponentFlagBits, &c->component_flags) &&
      r.OptionalText(e, L"backupStamp", &c->backup_stamp) && ReadFiles(r, e, L"file", &c->files) &&
      ReadFiles(r, e, L"database", &c->databases) && ReadFiles(r, e, L"log", &c->logs);
  if (ok && c->name.empty()) ok = r.Fail(e, L"a component needs a non-empty name");
  for (const XmlElement& d : ok ? e.Children(L"dependency") : std::vector<XmlElement>()) {
    MachineDependency dependency;
    ok = r.Only(d, {L"writerId", L"logicalPath", L"name"}, {}) &&
         r.Id(d, L"writerId", &dependency.writer_class_id) &&
         r.OptionalText(d, L"logicalPath", &dependency.logical_path) &&
         r.Text(d, L"name", &dependency.component_name);
    if (!ok) break;
    c->dependencies.push_back(dependency);
  }
  for (const XmlElement& d : ok ? e.Children(L"differencedFile") : std::vector<XmlElement>()) {
    MachineDifferencedFile file;
    ok = r.Only(d, {L"path", L"filespec", L"recursive", L"lsn", L"lastModified"}, {}) &&
         r.Text(d, L"path", &file.path) && r.Text(d, L"filespec", &file.filespec) &&
         r.Bool(d, L"recursive", &file.recursive) && (d.GetAttribute(L"lsn", &file.lsn), true) &&
         r.Time(d, L"lastModified", &file.last_modify_time);
    if (!ok) break;
    c->differenced_files.push_back(file);
  }
  for (const XmlElement& p : ok ? e.Children(L"partialFile") : std::vector<XmlElement>()) {
    MachinePartialFile file;
    ok = r.Only(p, {L"path", L"filename", L"ranges", L"metadata"}, {}) &&
         r.Text(p, L"path", &file.path) && r.Text(p, L"filename", &file.filename) &&
         r.Text(p, L"ranges", &file.ranges) && (p.GetAttribute(L"metadata", &file.metadata), true);
    if (!ok) break;
    c->partial_files.push_back(file);
  }
  r.Leave();
  return ok;
}

void WriteComponent(XmlElement e, const MachineComponent& c, WriterParts parts) {
  e.SetAttribute(L"type", EnumText(c.type, kComponentTypeNames));
  if (c.logical_path) e.SetAttribute(L"logicalPath", *c.logical_path);
  e.SetAttribute(L"name", c.name);
  if (c.caption) e.SetAttribute(L"caption", *c.caption);
  e.SetAttribute(L"selectable", c.selectable ? L"true" : L"false");
  e.SetAttribute(L"selectableForRestore", c.selectable_for_restore ? L"true" : L"false");
  e.SetAttribute(L"restoreMetadata", c.restore_metadata ? L"true" : L"false");
  e.SetAttribute(L"notifyOnBackupComplete", c.notify_on_backup_complete ? L"true" : L"false");
  e.SetAttribute(L"flags", MaskText(c.component_flags, kComponentFlagBits));
  WriteFiles(e, L"file", c.files);
  WriteFiles(e, L"database", c.databases);
  WriteFiles(e, L"log", c.logs);
  for (const MachineDependency& d : c.dependencies) {
    XmlElement x = e.AppendChild(L"dependency");
    x.SetAttribute(L"writerId", FormatVssId(d.writer_class_id));
    if (d.logical_path) x.SetAttribute(L"logicalPath", *d.logical_path);
    x.SetAttribute(L"name", d.component_name);
  }
  if (parts != WriterParts::kWithBackupResults) return;
  if (c.backup_stamp) e.SetAttribute(L"backupStamp", *c.backup_stamp);
  for (const MachineDifferencedFile& d : c.differenced_files) {
    XmlElement x = e.AppendChild(L"differencedFile");
    x.SetAttribute(L"path", d.path);
    x.SetAttribute(L"filespec", d.filespec);
    x.SetAttribute(L"recursive", d.recursive ? L"true" : L"false");
    x.SetAttribute(L"lsn", d.lsn);
    x.SetAttribute(L"lastModified", FormatFileTime(d.last_modify_time));
  }
  for (const MachinePartialFile& p : c.partial_files) {
    XmlElement x = e.AppendChild(L"partialFile");
    x.SetAttribute(L"path", p.path);
    x.SetAttribute(L"filename", p.filename);
    x.SetAttribute(L"ranges", p.ranges);
    x.SetAttribute(L"metadata", p.metadata);
  }
}

HRESULT ReadMachine(const XmlDocument& document, Machine* out, std::wstring* error) {
  std::wstring scratch;
  if (!error) error = &scratch;
  error->clear();
  Reader r(error);
  XmlElement root = document.Root();
  Machine machine;
  if (root.Name() != L"machine") {
    r.Fail(root, L"the root element of a machine description is <machine>");
    return VSS_E_INVALID_XML_DOCUMENT;
  }
  DWORD polls = 0;
  if (!r.Only(root, {L"name", L"pendingPolls"}, {L"writer", L"layout", L"operation"}) ||
      !(root.GetAttribute(L"name", &machine.name), true) || !r.Number(root, L"pendingPolls", &polls))
    return VSS_E_INVALID_XML_DOCUMENT;
  machine.pending_polls = polls;
  for (const XmlElement& w : root.Children(L"writer")) {
    MachineWriter writer;
    HRESULT hr = ReadWriterElement(w, WriterParts::kWithBackupResults, &writer, error);
    if (FAILED(hr)) return hr;
    if (FindWriterByInstance(machine, writer.instance_id)) {
      r.Fail(w, L"instance id " + FormatVssId(writer.instance_id) + L" is used twice");
      return VSS_E_INVALID_XML_DOCUMENT;
    }
    machine.writers.push_back(std::move(writer));
  }
  for (const XmlElement& layout : root.Children(L"layout")) {
    if (!r.Only(layout, {}, {L"file", L"hive"})) return VSS_E_INVALID_XML_DOCUMENT;
    for (const XmlElement& f : layout.Children()) {
      MachineLayoutFile file;
      file.hive = f.Name() == L"hive";
      if (file.hive ? !r.Only(f, {L"path", L"loadedAs"}, {}) ||
                          !r.OptionalText(f, L"loadedAs", &file.loaded_as)
                    : !r.Only(f, {L"path", L"size"}, {}) || !r.Number(f, L"size", &file.size))
        return VSS_E_INVALID_XML_DOCUMENT;
      if (!r.Text(f, L"path", &file.path)) return VSS_E_INVALID_XML_DOCUMENT;
      machine.layout.push_back(file);
    }
  }
  for (const XmlElement& o : root.Children(L"operation")) {
    MachineOperation operation;
    std::wstring result;
    if (!r.Only(o, {L"name", L"result"}, {}) || !r.Text(o, L"name", &operation.name) ||
        !r.Text(o, L"result", &result))
      return VSS_E_INVALID_XML_DOCUMENT;
    bool known = false;
    for (const wchar_t* name : kOperationNames) known = known || operation.name == name;
    DWORD code = 0;
    operation.never_finishes = result == L"never";
    if (!known || FindOperation(machine, operation.name.c_str())) {
      r.Fail(o, L"names no asynchronous operation, or one named before");
      return VSS_E_INVALID_XML_DOCUMENT;
    }
    if (!operation.never_finishes && (!ParseDword(result, &code) || !FAILED(static_cast<HRESULT>(code)))) {
      r.Fail(o, L"result is \"" + result + L"\", expected a failure code or never");
      return VSS_E_INVALID_XML_DOCUMENT;
    }
    operation.result = static_cast<HRESULT>(code);
    machine.operations.push_back(operation);
  }
  *out = std::move(machine);
  return S_OK;
}

}  // namespace

HRESULT ReadWriterElement(const XmlElement& e, WriterParts parts, MachineWriter* out,
                          std::wstring* error) {
  std::wstring scratch;
  if (!error) error = &scratch;
  Reader r(error);
  const bool results = parts == WriterParts::kWithBackupResults;
  MachineWriter w;
  bool ok =
      (results ? r.Only(e,
                        {L"name", L"classId", L"instanceId", L"usage", L"source", L"backupSchema",
                         L"stateAfterSnapshot", L"failureAfterSnapshot", L"failAt", L"failCode",
                         L"absentAtRestore"},
                        {L"restoreMethod", L"component", L"excludeFile", L"includeFile",
                         L"lockedAtRestore"})
               : r.Only(e, {L"name", L"classId", L"instanceId", L"usage", L"source", L"backupSchema"},
                        {L"restoreMethod", L"component", L"excludeFile", L"includeFile"})) &&
      r.Text(e, L"name", &w.name) && r.Id(e, L"classId", &w.class_id) &&
      r.Id(e, L"instanceId", &w.instance_id) && r.Enum(e, L"usage", kUsageNames, &w.usage) &&
      r.Enum(e, L"source", kSourceNames, &w.source) &&
      r.Mask(e, L"backupSchema", kSchemaBits, &w.backup_schema) &&
      r.Enum(e, L"stateAfterSnapshot", kWriterStateNames, &w.state_after_snapshot);
  DWORD failure = 0;
  ok = ok && r.Number(e, L"failureAfterSnapshot", &failure);
  w.failure_after_snapshot = static_cast<HRESULT>(failure);
  DWORD fail_code = static_cast<DWORD>(w.fail_code);
  ok = ok && r.Mask(e, L"failAt", kFailPhaseBits, &w.fail_at) && r.Number(e, L"failCode", &fail_code) &&
       r.Bool(e, L"absentAtRestore", &w.absent_at_restore);
  w.fail_code = static_cast<HRESULT>(fail_code);
  if (!ok) return VSS_E_INVALID_XML_DOCUMENT;

  r.Enter(e);
  for (const XmlElement& l : ok ? e.Children(L"lockedAtRestore") : std::vector<XmlElement>()) {
    std::wstring path;
    ok = r.Only(l, {L"path"}, {}) && r.Text(l, L"path", &path);
    if (!ok) break;
    w.locked_at_restore.push_back(path);
  }
  std::vector<XmlElement> methods = e.Children(L"restoreMethod");
  if (ok && methods.size() > 1) ok = r.Fail(methods[1], L"a writer has one restore method");
  if (ok && !methods.empty()) {
    const XmlElement& m = methods[0];
    MachineRestoreMethod& rm = w.restore;
    ok = r.Only(m, {L"method", L"service", L"userProcedure", L"writerRestore", L"rebootRequired"},
                {L"alternateMapping"}) &&
         r.Enum(m, L"method", kRestoreMethodNames, &rm.method) &&
         r.OptionalText(m, L"service", &rm.service_name) &&
         r.OptionalText(m, L"userProcedure", &rm.user_procedure) &&
         r.Enum(m, L"writerRestore", kWriterRestoreNames, &rm.writer_restore) &&
         r.Bool(m, L"rebootRequired", &rm.reboot_required) &&
         ReadFiles(r, m, L"alternateMapping", &rm.alternate_mappings);
  }
  for (const XmlElement& c : ok ? e.Children(L"component") : std::vector<XmlElement>()) {
    MachineComponent component;
    ok = ReadComponent(r, c, parts, &component);
    if (!ok) break;
    if (FindComponent(w, component.logical_path ? component.logical_path->c_str() : nullptr,
                      component.name.c_str())) {
      ok = r.Fail(c, L"this writer already has a component with that logical path and name");
      break;
    }
    w.components.push_back(std::move(component));
  }
  ok = ok && ReadFiles(r, e, L"excludeFile", &w.excluded_files) &&
       ReadFiles(r, e, L"includeFile", &w.include_files);
  r.Leave();
  if (!ok) return VSS_E_INVALID_XML_DOCUMENT;
  *out = std::move(w);
  return S_OK;
}

void WriteWriterElement(XmlElement& e, const MachineWriter& w, WriterParts parts) {
  e.SetAttribute(L"name", w.name);
  e.SetAttribute(L"classId", FormatVssId(w.class_id));
  e.SetAttribute(L"instanceId", FormatVssId(w.instance_id));
  e.SetAttribute(L"usage", EnumText(w.usage, kUsageNames));
  e.SetAttribute(L"source", EnumText(w.source, kSourceNames));
  e.SetAttribute(L"backupSchema", MaskText(w.backup_schema, kSchemaBits));
  if (parts == WriterParts::kWithBackupResults) {
    e.SetAttribute(L"stateAfterSnapshot", EnumText(w.state_after_snapshot, kWriterStateNames));
    e.SetAttribute(L"failureAfterSnapshot", Hex(static_cast<DWORD>(w.failure_after_snapshot)));
    e.SetAttribute(L"failAt", MaskText(w.fail_at, kFailPhaseBits));
    e.SetAttribute(L"failCode", Hex(static_cast<DWORD>(w.fail_code)));
    e.SetAttribute(L"absentAtRestore", w.absent_at_restore ? L"true" : L"false");
    for (const std::wstring& path : w.locked_at_restore)
      e.AppendChild(L"lockedAtRestore").SetAttribute(L"path", path);
  }
  XmlElement m = e.AppendChild(L"restoreMethod");
  m.SetAttribute(L"method", EnumText(w.restore.method, kRestoreMethodNames));
  if (w.restore.service_name) m.SetAttribute(L"service", *w.restore.service_name);
  if (w.restore.user_procedure) m.SetAttribute(L"userProcedure", *w.restore.user_procedure);
  m.SetAttribute(L"writerRestore", EnumText(w.restore.writer_restore, kWriterRestoreNames));
  m.SetAttribute(L"rebootRequired", w.restore.reboot_required ? L"true" : L"false");
  WriteFiles(m, L"alternateMapping", w.restore.alternate_mappings);
  for (const MachineComponent& c : w.components) WriteComponent(e.AppendChild(L"component"), c, parts);
  WriteFiles(e, L"excludeFile", w.excluded_files);
  WriteFiles(e, L"includeFile", w.include_files);
}

HRESULT SaveMachine(const Machine& machine, std::wstring* xml) {
  if (!xml) return E_INVALIDARG;
  XmlDocument document;
  HRESULT hr = document.Create(L"machine");
  if (FAILED(hr)) return hr;
  XmlElement root = document.Root();
  root.SetAttribute(L"name", machine.name);
  root.SetAttribute(L"pendingPolls", std::to_wstring(machine.pending_polls));
  for (const MachineWriter& w : machine.writers) {
    XmlElement writer = root.AppendChild(L"writer");
    WriteWriterElement(writer, w, WriterParts::kWithBackupResults);
  }
  if (!machine.layout.empty()) {
    XmlElement layout = root.AppendChild(L"layout");
    for (const MachineLayoutFile& f : machine.layout) {
      XmlElement file = layout.AppendChild(f.hive ? L"hive" : L"file");
      file.SetAttribute(L"path", f.path);
      if (!f.hive) file.SetAttribute(L"size", std::to_wstring(f.size));
      if (f.loaded_as) file.SetAttribute(L"loadedAs", *f.loaded_as);
    }
  }
  for (const MachineOperation& o : machine.operations) {
    XmlElement operation = root.AppendChild(L"operation");
    operation.SetAttribute(L"name", o.name);
    operation.SetAttribute(L"result", o.never_finishes ? L"never" : Hex(static_cast<DWORD>(o.result)));
  }
  return document.Serialize(xml);
}

HRESULT ParseMachine(const wchar_t* xml, Machine* out, std::wstring* error) {
  if (!xml || !out) return E_INVALIDARG;
  XmlDocument document;
  HRESULT hr = document.Parse(xml);
  if (FAILED(hr)) {
    if (error) *error = L"the machine description is not well-formed XML";
    return hr;
  }
  return ReadMachine(document, out, error);
}

HRESULT LoadMachine(const wchar_t* path, Machine* out, std::wstring* error) {
  if (!path || !out) return E_INVALIDARG;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (error) *error = std::wstring(L"cannot open ") + path;
    return HRESULT_FROM_WIN32(code);
  }
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);

  // UTF-16LE with a byte order mark, otherwise UTF-8 (with or without one).
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  } else {
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + skip,
                                static_cast<int>(bytes.size() - skip), nullptr, 0);
    if (n <= 0 && bytes.size() > skip) {
      if (error) *error = std::wstring(path) + L" is not UTF-8 or UTF-16 text";
      return VSS_E_INVALID_XML_DOCUMENT;
    }
    text.resize(n);
    MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip),
                        &text[0], n);
  }
  // The declaration names the file's encoding, which no longer holds for the decoded text.
  if (text.compare(0, 5, L"<?xml") == 0) {
    size_t end = text.find(L"?>");
    if (end != std::wstring::npos) text.erase(0, end + 2);
  }
  HRESULT hr = ParseMachine(text.c_str(), out, error);
  if (FAILED(hr) && error && !error->empty()) *error = std::wstring(path) + L": " + *error;
  return hr;
}

const MachineWriter* FindWriterByInstance(const Machine& machine, const VSS_ID& instance_id) {
  for (const MachineWriter& w : machine.writers)
    if (IsEqualGUID(w.instance_id, instance_id)) return &w;
  return nullptr;
}

const MachineOperation* FindOperation(const Machine& machine, const wchar_t* name) {
  for (const MachineOperation& o : machine.operations)
    if (o.name == name) return &o;
  return nullptr;
}

const MachineWriter* FindWriterByClass(const Machine& machine, const VSS_ID& class_id) {
  for (const MachineWriter& w : machine.writers)
    if (IsEqualGUID(w.class_id, class_id)) return &w;
  return nullptr;
}

const MachineComponent* FindComponent(const MachineWriter& writer, const wchar_t* logical_path,
                                      const wchar_t* name) {
  for (const MachineComponent& c : writer.components)
    if (SameComponentName(c.logical_path, c.name, logical_path, name)) return &c;
  return nullptr;
}

std::wstring FormatVssId(const VSS_ID& id) {
  wchar_t text[40];
  swprintf(text, 40, L"{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
           id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

bool ParseVssId(const std::wstring& text, VSS_ID* out) {
  std::wstring t = Trim(text);
  if (t.size() == 38 && t.front() == L'{' && t.back() == L'}') t = t.substr(1, 36);
  if (t.size() != 36) return false;
  unsigned int bytes[16];
  size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    if (at == 8 || at == 13 || at == 18 || at == 23) {
      if (t[at] != L'-') return false;
      ++at;
    }
    unsigned int value = 0;
    for (int k = 0; k < 2; ++k, ++at) {
      wchar_t c = t[at];
      int digit = c >= L'0' && c <= L'9' ? c - L'0'
                  : c >= L'a' && c <= L'f' ? c - L'a' + 10
                  : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                           : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned int>(digit);
    }
    bytes[i] = value;
  }
  VSS_ID id;
  id.Data1 = (bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
  id.Data2 = static_cast<unsigned short>((bytes[4] << 8) | bytes[5]);
  id.Data3 = static_cast<unsigned short>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<unsigned char>(bytes[8 + i]);
  *out = id;
  return true;
}

std::wstring FormatFileTime(const FILETIME& time) {
  unsigned long long value =
      (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return std::to_wstring(value);
}

bool ParseFileTime(const std::wstring& text, FILETIME* out) {
  std::wstring t = Trim(text);
  unsigned long long value = 0;
  SYSTEMTIME st = {};
  unsigned y, mo, d, h, mi, s;
  wchar_t zone = 0;
  int consumed = 0;
  if (swscanf(t.c_str(), L"%4u-%2u-%2uT%2u:%2u:%2u%lc%n", &y, &mo, &d, &h, &mi, &s, &zone,
              &consumed) == 7 &&
      zone == L'Z' && static_cast<size_t>(consumed) == t.size()) {
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    return SystemTimeToFileTime(&st, out) != FALSE;
  }
  if (t.empty() || !iswdigit(t[0])) return false;
  wchar_t* end = nullptr;
  errno = 0;
  value = wcstoull(t.c_str(), &end, 10);
  if (errno != 0 || *end != 0) return false;
  out->dwLowDateTime = static_cast<DWORD>(value);
  out->dwHighDateTime = static_cast<DWORD>(value >> 32);
  return true;
}

bool operator==(const MachineFile& a, const MachineFile& b) {
  return a.path == b.path && a.filespec == b.filespec && a.recursive == b.recursive &&
         a.alternate_location == b.alternate_location && a.backup_type_mask == b.backup_type_mask;
}

bool operator==(const MachineDependency& a, const MachineDependency& b) {
  return IsEqualGUID(a.writer_class_id, b.writer_class_id) && a.logical_path == b.logical_path &&
         a.component_name == b.component_name;
}

bool operator==(const MachineDifferencedFile& a, const MachineDifferencedFile& b) {
  return a.path == b.path && a.filespec == b.filespec && a.recursive == b.recursive &&
         a.lsn == b.lsn && a.last_modify_time.dwLowDateTime == b.last_modify_time.dwLowDateTime &&
         a.last_modify_time.dwHighDateTime == b.last_modify_time.dwHighDateTime;
}

bool operator==(const MachinePartialFile& a, const MachinePartialFile& b) {
  return a.path == b.path && a.filename == b.filename && a.ranges == b.ranges &&
         a.metadata == b.metadata;
}

bool operator==(const MachineComponent& a, const MachineComponent& b) {
  return a.type == b.type && a.logical_path == b.logical_path && a.name == b.name &&
         a.caption == b.caption && a.selectable == b.selectable &&
         a.selectable_for_restore == b.selectable_for_restore &&
         a.restore_metadata == b.restore_metadata &&
         a.notify_on_backup_complete == b.notify_on_backup_complete &&
         a.component_flags == b.component_flags && a.files == b.files &&
         a.databases == b.databases && a.logs == b.logs && a.dependencies == b.dependencies &&
         a.backup_stamp == b.backup_stamp && a.differenced_files == b.differenced_files &&
         a.partial_files == b.partial_files;
}

bool operator==(const MachineRestoreMethod& a, const MachineRestoreMethod& b) {
  return a.method == b.method && a.service_name == b.service_name &&
         a.user_procedure == b.user_procedure && a.writer_restore == b.writer_restore &&
         a.reboot_required == b.reboot_required && a.alternate_mappings == b.alternate_mappings;
}

bool operator==(const MachineWriter& a, const MachineWriter& b) {
  return IsEqualGUID(a.class_id, b.class_id) && IsEqualGUID(a.instance_id, b.instance_id) &&
         a.name == b.name && a.usage == b.usage && a.source == b.source &&
         a.backup_schema == b.backup_schema && a.restore == b.restore &&
         a.components == b.components && a.include_files == b.include_files &&
         a.excluded_files == b.excluded_files &&
         a.state_after_snapshot == b.state_after_snapshot &&
         a.failure_after_snapshot == b.failure_after_snapshot && a.fail_at == b.fail_at &&
         a.fail_code == b.fail_code && a.absent_at_restore == b.absent_at_restore &&
         a.locked_at_restore == b.locked_at_restore;
}
