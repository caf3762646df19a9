#include "service_config.h"

#include <mutex>

#include "journal.h"

namespace {

std::mutex g_config_lock;
std::shared_ptr<const Machine> g_machine = std::make_shared<Machine>();

}  // namespace

HRESULT ConfigureService(const char* machine_file, const char* journal_file) {
  JournalSetPath(journal_file);
  auto machine = std::make_shared<Machine>();
  HRESULT hr = S_OK;
  if (machine_file && *machine_file) {
    int n = MultiByteToWideChar(CP_ACP, 0, machine_file, -1, nullptr, 0);
    std::wstring path(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, machine_file, -1, &path[0], n);
    hr = LoadMachine(path.c_str(), machine.get());
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
