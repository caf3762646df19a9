// The plug-in DLL as the daemon holds it: loaded once however many jobs use it, loadPlugin on
// the first load, unloadPlugin only after every instance is freed.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include "host_services.h"
#include "../../../plugin/vss/vss_interface.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PluginModule {
 public:
  // Shares the module already loaded from `path`, or loads it. On failure `error` says why;
  // contract violations of loadPlugin go to `job`'s checker.
  static std::shared_ptr<PluginModule> Acquire(const std::string& path, HostJob& job,
                                               std::string* error);
  ~PluginModule();

  HMODULE module() const { return module_; }
  pFuncs* funcs() const { return funcs_; }
  // A finished job's context stays valid until unloadPlugin has run, so that a late call
  // through it is caught rather than read from freed memory.
  void Retire(std::shared_ptr<HostJob> job);

 private:
  PluginModule() = default;
  std::string path_;
  HMODULE module_ = nullptr;
  pInfo* info_ = nullptr;
  pFuncs* funcs_ = nullptr;
  std::mutex lock_;
  std::vector<std::shared_ptr<HostJob>> retired_;
};

// The shadow copy service's library: the factory, and the service's configuration export
// when it has one.
class VssModule {
 public:
  ~VssModule();
  bool Load(const std::string& path, const std::string& machine, const std::string& journal,
            std::string* error);
  HMODULE module() const { return module_; }
  t_CreateVssBackupComponents create_backup_components() const { return create_; }
  // The service's live objects, when it counts them (0 otherwise).
  long ObjectCount() const { return count_ ? count_() : 0; }

 private:
  HMODULE module_ = nullptr;
  t_CreateVssBackupComponents create_ = nullptr;
  LONG (*count_)() = nullptr;
};

// Folder of the running program, where the default DLLs are.
std::string ProgramFolder();
