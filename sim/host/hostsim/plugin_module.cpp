#include "../../../plugin/frame/host_interface.h"

#include "plugin_module.h"

#include "../../../plugin/vss/vss_interface.h"

#if defined(HOSTSIM_BACKUP_STREAM_EMULATION)
#include "backup_stream_emulation.h"
#endif

#include <map>

namespace {

std::mutex g_modules_lock;
std::map<std::string, std::weak_ptr<PluginModule>> g_modules;

template <typename T>
T Export(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string ModuleKey(const std::string& path) {
  char full[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string key = (n > 0 && n < sizeof full) ? std::string(full, n) : path;
  for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, n);
  size_t cut = folder.find_last_of("\\/");
  return cut == std::string::npos ? "." : folder.substr(0, cut);
}

std::shared_ptr<PluginModule> PluginModule::Acquire(const std::string& path, HostJob& job,
                                                    std::string* error) {
  std::lock_guard<std::mutex> lock(g_modules_lock);
  std::string key = ModuleKey(path);
  if (auto shared = g_modules[key].lock()) return shared;

  std::shared_ptr<PluginModule> plugin(new PluginModule);
  plugin->path_ = path;
  plugin->module_ = LoadLibraryA(path.c_str());
  if (!plugin->module_) {
    *error = Format("cannot load the plug-in %s (error %lu)", path.c_str(), GetLastError());
    return nullptr;
  }
#if defined(HOSTSIM_BACKUP_STREAM_EMULATION)
  // Wine only stubs BackupRead/BackupWrite; the plug-in gets the emulation in their place.
  if (InstallBackupStreamEmulation(plugin->module_))
    job.log->Debug(50, __FILE__, __LINE__, "backup stream calls of the plug-in emulated");
#endif
  auto load = Export<t_loadPlugin>(plugin->module_, "loadPlugin");
  if (!load || !Export<t_unloadPlugin>(plugin->module_, "unloadPlugin")) {
    *error = path + " does not export loadPlugin and unloadPlugin";
    FreeLibrary(plugin->module_);
    plugin->module_ = nullptr;
    return nullptr;
  }
  hRC rc;
  {
    CurrentJobScope current(&job);
    job.null_context_ok = true;  // no instance, no context yet
    rc = load(HostInfoRecord(), HostServiceTable(), &plugin->info_, &plugin->funcs_);
    job.null_context_ok = false;
  }
  if (!job.contract.CheckPluginRecords(rc, plugin->info_, plugin->funcs_)) {
    *error = path + " handed out unusable plug-in records";
    plugin->funcs_ = nullptr;  // unloadPlugin is still owed: loadPlugin ran
    return plugin;
  }
  g_modules[key] = plugin;
  return plugin;
}

void PluginModule::Retire(std::shared_ptr<HostJob> job) {
  std::lock_guard<std::mutex> lock(lock_);
  retired_.push_back(std::move(job));
}

PluginModule::~PluginModule() {
  if (!module_) return;
  auto unload = Export<t_unloadPlugin>(module_, "unloadPlugin");
  {
    HostJob* last = retired_.empty() ? nullptr : retired_.back().get();
    CurrentJobScope current(last);
    if (last) last->null_context_ok = true;  // every instance is gone: no context to pass
    if (unload) unload();
  }
  FreeLibrary(module_);
  retired_.clear();
}

VssModule::~VssModule() {
  if (module_) FreeLibrary(module_);
}

bool VssModule::Load(const std::string& path, const std::string& machine,
                     const std::string& journal, std::string* error) {
  module_ = LoadLibraryA(path.c_str());
  if (!module_) {
    *error = Format("cannot load the shadow copy module %s (error %lu)", path.c_str(),
                    GetLastError());
    return false;
  }
  typedef HRESULT (*t_configure)(const char*, const char*);
  if (auto configure = Export<t_configure>(module_, "SimVssConfigure")) {
    HRESULT hr = configure(machine.c_str(), journal.c_str());
    if (FAILED(hr)) {
      *error = Format("the shadow copy module refused the machine description %s: %08lx",
                      machine.c_str(), static_cast<unsigned long>(hr));
      return false;
    }
  }
  count_ = Export<LONG (*)()>(module_, "SimVssObjectCount");
  create_ = Export<t_CreateVssBackupComponents>(module_, VSS_CREATE_BACKUP_COMPONENTS_NAME);
  if (!create_) {
    *error = path + " does not export the backup components factory";
    return false;
  }
  return true;
}
