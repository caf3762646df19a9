#include "service_config.h"

#include <mutex>

#include "journal.h"
#include "writer_memory.h"

namespace {

std::mutex g_config_lock;
std::shared_ptr<const Machine> g_machine = std::make_shared<Machine>();

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? n : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
  wide.resize(wcslen(wide.c_str()));
  return wide;
}

// The writers' state file lives beside the journal.
std::wstring StatePath(const char* journal_file) {
  if (!journal_file || !*journal_file) return std::wstring();
  std::string path = journal_file;
  size_t slash = path.find_last_of("\\/");
  return Wide((slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "simvss-state.xml");
}

}  // namespace

HRESULT ConfigureService(const char* machine_file, const char* journal_file) {
  JournalSetPath(journal_file);
  WriterMemorySetPath(StatePath(journal_file));
  auto machine = std::make_shared<Machine>();
  HRESULT hr = S_OK;
  if (machine_file && *machine_file) {
    hr = LoadMachine(Wide(machine_file).c_str(), machine.get());
    if (FAILED(hr)) machine = std::make_shared<Machine>();
  }
  std::lock_guard<std::mutex> hold(g_config_lock);
  g_machine = machine;
  return hr;
}

std::shared_ptr<const Machine> CurrentMachine() {
  std::lock_guard<std::mutex> hold(g_config_lock);
  return g_machine;
}
