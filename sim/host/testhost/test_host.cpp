#include "test_host.h"

#include "../harbek/harbek_accounting.h"

#include <cstdarg>
#include <cstdio>

namespace {

TestJob* job_of(hpContext* ctx) { return ctx ? static_cast<TestJob*>(ctx->hContext) : nullptr; }

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int len = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string text(len > 0 ? len : 0, '\0');
  if (len > 0) vsnprintf(&text[0], len + 1, fmt, args);
  return text;
}

// Messages written with a null context (the instance's own construction) go here.
std::vector<HostMessage> g_orphan_messages;

void record(hpContext* ctx, HostMessage message) {
  TestJob* job = job_of(ctx);
  (job ? job->messages : g_orphan_messages).push_back(std::move(message));
}

hRC registerHarbekEvents(hpContext* ctx, ...) {
  TestJob* job = job_of(ctx);
  va_list args;
  va_start(args, ctx);
  for (int event; (event = va_arg(args, int)) != 0;) {
    if (job) job->registered_events.push_back(event);
  }
  va_end(args);
  return hRC_OK;
}

hRC getHarbekValue(hpContext* ctx, hVariable var, void* value) {
  TestJob* job = job_of(ctx);
  return job ? job->GetValue(var, value) : hRC_Error;
}

hRC setHarbekValue(hpContext*, hVariable, void*) { return hRC_OK; }

hRC JobMessage(hpContext* ctx, const char*, int, int type, int64_t, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  record(ctx, HostMessage{HostMessage::Job, type, vformat(fmt, args)});
  va_end(args);
  return hRC_OK;
}

hRC DebugMessage(hpContext* ctx, const char*, int, int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  record(ctx, HostMessage{HostMessage::Debug, level, vformat(fmt, args)});
  va_end(args);
  return hRC_OK;
}

void* harbekMalloc(hpContext*, const char*, int, size_t size) { return malloc(size); }
void harbekFree(hpContext*, const char*, int, void* mem) { free(mem); }
hRC unusedText(hpContext*, const char*) { return hRC_OK; }
hRC unusedTyped(hpContext*, const char*, int) { return hRC_OK; }
hRC unusedPlain(hpContext*) { return hRC_OK; }
hRC checkChanges(hpContext*, save_pkt*) { return hRC_OK; }

hInfo g_info = {sizeof(hInfo), 1};
hFuncs g_funcs = {
    sizeof(hFuncs), 1,
    registerHarbekEvents, getHarbekValue, setHarbekValue, JobMessage, DebugMessage,
    harbekMalloc, harbekFree,
    unusedText,   // AddExclude
    unusedText,   // AddInclude
    unusedText,   // AddOptions
    unusedTyped,  // AddRegex
    unusedTyped,  // AddWild
    unusedPlain,  // NewOptions
    unusedPlain,  // NewInclude
    unusedPlain,  // NewPreInclude
    checkChanges,
};

const char kWorkingDir[] = "C:\\harbek-test\\working";

}  // namespace

void TestJob::SetInt(hVariable var, int value) { values_[var] = Value{true, value, nullptr, nullptr}; }

void TestJob::SetPointer(hVariable var, void* value) {
  values_[var] = Value{false, 0, value, nullptr};
}

void TestJob::SetString(hVariable var, const char* value) {
  if (!value) {
    SetPointer(var, nullptr);
    return;
  }
  auto text = std::make_shared<std::string>(value);
  values_[var] = Value{false, 0, &(*text)[0], text};
}

hRC TestJob::GetValue(hVariable var, void* out) {
  auto it = values_.find(var);
  if (it == values_.end()) {
    violations.push_back("getHarbekValue of unanswered variable " + std::to_string(var));
    return hRC_Error;
  }
  if (it->second.is_int)
    *static_cast<int*>(out) = it->second.int_value;
  else
    *static_cast<void**>(out) = it->second.pointer;
  return hRC_OK;
}

std::vector<std::string> TestJob::JobMessages(int type) const {
  std::vector<std::string> out;
  for (const auto& m : messages)
    if (m.kind == HostMessage::Job && (type == 0 || m.type_or_level == type)) out.push_back(m.text);
  return out;
}

std::vector<std::string> TestJob::DebugMessages(int level) const {
  std::vector<std::string> out;
  for (const auto& m : messages)
    if (m.kind == HostMessage::Debug && (level < 0 || m.type_or_level == level))
      out.push_back(m.text);
  return out;
}

TestHost::TestHost(const char* plugin_dll) {
  module_ = LoadLibraryA(plugin_dll);
  stub_vss_ = LoadLibraryA("stubvss.dll");
  if (!module_) return;
  auto load = reinterpret_cast<t_loadPlugin>(
      reinterpret_cast<void*>(GetProcAddress(module_, "loadPlugin")));
  if (!load) return;
  load_result_ = load(&g_info, &g_funcs, &info_, &funcs_);
}

TestHost::~TestHost() {
  if (module_) {
    auto unload = reinterpret_cast<t_unloadPlugin>(
        reinterpret_cast<void*>(GetProcAddress(module_, "unloadPlugin")));
    if (unload) unload();
    FreeLibrary(module_);
  }
  if (stub_vss_) FreeLibrary(stub_vss_);
}

std::unique_ptr<TestJob> TestHost::NewJob() {
  auto job = std::make_unique<TestJob>();
  job->ctx.hContext = job.get();
  job->SetString(hVarVersion, "6.0.0 (09Dec26)");
  job->SetInt(hVarJobId, 1);
  job->SetInt(hVarAccurate, 0);
  job->SetPointer(hVarVssDllHandle, stub_vss_);
  job->SetPointer(hVarVssObject, nullptr);
  job->SetString(hVarWorkingDir, kWorkingDir);
  job->SetString(hVarWhere, nullptr);
  job->SetString(hVarRegexWhere, nullptr);
  return job;
}

hRC TestHost::Event(TestJob& job, int type, void* value) {
  hEvent event{static_cast<uint32_t>(type)};
  return funcs_->handlePluginEvent(&job.ctx, &event, value);
}

hFuncs* TestHost::HostFuncs() { return &g_funcs; }

std::vector<HostMessage>& OrphanMessages() { return g_orphan_messages; }

size_t HostLiveBlocks() { return harbek_live_blocks(); }
