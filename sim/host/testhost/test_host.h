// A minimal host for tests: loads the plug-in as the daemon does, answers its service calls
// from tables the test sets, and records every message the plug-in writes.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

struct HostMessage {
  enum Kind { Job, Debug } kind;
  int type_or_level;  // JMSG_* for job messages, the level for debug messages
  std::string text;
};

// One plug-in instance: the host context, its answers and what the plug-in said through it.
class TestJob {
 public:
  hpContext ctx{};
  std::vector<HostMessage> messages;
  std::vector<int> registered_events;
  std::vector<std::string> violations;  // host services used against their contract

  void SetInt(hVariable var, int value);
  void SetPointer(hVariable var, void* value);
  void SetString(hVariable var, const char* value);  // null gives a null char*
  hRC GetValue(hVariable var, void* out);

  std::vector<std::string> JobMessages(int type = 0) const;    // 0: every type
  std::vector<std::string> DebugMessages(int level = -1) const;  // -1: every level
  void ClearMessages() { messages.clear(); }

 private:
  struct Value {
    bool is_int;
    int int_value;
    void* pointer;
    std::shared_ptr<std::string> text;
  };
  std::map<int, Value> values_;
};

class TestHost {
 public:
  explicit TestHost(const char* plugin_dll = "snaptree-fd.dll");
  ~TestHost();

  bool loaded() const { return funcs_ != nullptr; }
  hRC load_result() const { return load_result_; }
  pInfo* info() const { return info_; }
  pFuncs* funcs() const { return funcs_; }
  HMODULE module() const { return module_; }

  // A job with the answers a daemon gives by default: version "6.0.0", job id 1, the
  // stub shadow copy module, working directory, no Where.
  std::unique_ptr<TestJob> NewJob();
  hRC NewPlugin(TestJob& job) { return funcs_->newPlugin(&job.ctx); }
  hRC FreePlugin(TestJob& job) { return funcs_->freePlugin(&job.ctx); }
  hRC Event(TestJob& job, int type, void* value = nullptr);

  static hFuncs* HostFuncs();

 private:
  HMODULE module_ = nullptr;
  HMODULE stub_vss_ = nullptr;
  hRC load_result_ = hRC_Error;
  pInfo* info_ = nullptr;
  pFuncs* funcs_ = nullptr;
};

// Messages written through a null context (an instance tracing its own construction).
std::vector<HostMessage>& OrphanMessages();

// Live blocks of the host allocator (the stand-in core library's accounting).
size_t HostLiveBlocks();
