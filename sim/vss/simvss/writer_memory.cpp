#include "writer_memory.h"

#include <mutex>

#include "machine.h"
#include "xml_dom.h"

namespace {

std::mutex g_memory_lock;
std::wstring g_memory_path;
WriterMemory g_memory;  // used when there is no state file

const wchar_t* TypeName(VSS_BACKUP_TYPE type) {
  switch (type) {
    case VSS_BT_FULL: return L"full";
    case VSS_BT_INCREMENTAL: return L"incremental";
    case VSS_BT_DIFFERENTIAL: return L"differential";
    case VSS_BT_LOG: return L"log";
    case VSS_BT_COPY: return L"copy";
    default: return L"other";
  }
}

VSS_BACKUP_TYPE TypeOf(const std::wstring& name) {
  for (VSS_BACKUP_TYPE type : {VSS_BT_FULL, VSS_BT_INCREMENTAL, VSS_BT_DIFFERENTIAL, VSS_BT_LOG, VSS_BT_COPY})
    if (name == TypeName(type)) return type;
  return VSS_BT_OTHER;
}

// A state file that is missing or unreadable is a machine whose writers remember nothing.
WriterMemory LoadFile(const std::wstring& path) {
  WriterMemory memory;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return memory;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  if (bytes.size() < 2) return memory;
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  XmlDocument document;
  if (FAILED(document.Parse(text.c_str()))) return memory;
  XmlElement root = document.Root();
  std::wstring value;
  if (root.GetAttribute(L"backups", &value)) memory.backups = wcstoul(value.c_str(), nullptr, 10);
  for (const XmlElement& s : root.Children(L"stamp")) {
    StampRecord record;
    std::wstring path;
    if (s.GetAttribute(L"writer", &value)) ParseVssId(value, &record.writer_class);
    if (s.GetAttribute(L"logicalPath", &path)) record.logical_path = path;
    s.GetAttribute(L"name", &record.name);
    s.GetAttribute(L"stamp", &record.stamp);
    if (s.GetAttribute(L"type", &value)) record.type = TypeOf(value);
    if (s.GetAttribute(L"time", &value)) ParseFileTime(value, &record.time);
    record.complete = s.GetAttribute(L"complete", &value) && value == L"true";
    memory.stamps.push_back(record);
  }
  for (const XmlElement& r : root.Children(L"recovered")) {
    VSS_ID id = GUID_NULL;
    if (r.GetAttribute(L"writer", &value) && ParseVssId(value, &id)) memory.recovered.push_back(id);
  }
  return memory;
}

void SaveFile(const std::wstring& path, const WriterMemory& memory) {
  XmlDocument document;
  if (FAILED(document.Create(L"simvss-state"))) return;
  XmlElement root = document.Root();
  root.SetAttribute(L"backups", std::to_wstring(memory.backups));
  for (const StampRecord& record : memory.stamps) {
    XmlElement s = root.AppendChild(L"stamp");
    s.SetAttribute(L"writer", FormatVssId(record.writer_class));
    if (record.logical_path) s.SetAttribute(L"logicalPath", *record.logical_path);
    s.SetAttribute(L"name", record.name);
    s.SetAttribute(L"stamp", record.stamp);
    s.SetAttribute(L"type", TypeName(record.type));
    s.SetAttribute(L"time", FormatFileTime(record.time));
    s.SetAttribute(L"complete", record.complete ? L"true" : L"false");
  }
  for (const VSS_ID& id : memory.recovered) root.AppendChild(L"recovered").SetAttribute(L"writer", FormatVssId(id));
  std::wstring text;
  if (FAILED(document.Serialize(&text))) return;
  text.insert(text.begin(), L'\xFEFF');
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

void WriterMemorySetPath(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(g_memory_lock);
  g_memory_path = path;
  g_memory = WriterMemory();
}

WriterMemory ReadWriterMemory() {
  std::lock_guard<std::mutex> hold(g_memory_lock);
  return g_memory_path.empty() ? g_memory : LoadFile(g_memory_path);
}

void ChangeWriterMemory(const std::function<void(WriterMemory&)>& change) {
  std::lock_guard<std::mutex> hold(g_memory_lock);
  if (g_memory_path.empty()) {
    change(g_memory);
    return;
  }
  WriterMemory memory = LoadFile(g_memory_path);
  change(memory);
  SaveFile(g_memory_path, memory);
}
