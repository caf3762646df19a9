#include "../../../plugin/frame/host_interface.h"

#include "host_services.h"

#include <cstdarg>
#include <cstdlib>

namespace {

thread_local HostJob* t_current_job = nullptr;

HostJob* JobOf(hpContext* ctx, const char* service) {
  if (!ctx) return nullptr;
  HostJob* job = static_cast<HostJob*>(ctx->hContext);
  if (job && job->freed) job->contract.Violation("%s called with the job's context after freePlugin", service);
  return job;
}

// The job a message belongs to. A message must name the job whose call is running: the
// daemon files it under that context, so a null or foreign one loses it or misfiles it.
HostJob* MessageJob(hpContext* ctx, const char* service) {
  HostJob* current = t_current_job;
  if (!ctx) {
    bool allowed = current && current->null_context_ok && std::string(service) == "DebugMessage";
    if (current && !allowed) current->contract.Violation("%s with a null context", service);
    return current;
  }
  HostJob* job = JobOf(ctx, service);
  if (job && current && job != current)
    current->contract.Violation("%s with the context of job %d during a call of job %d", service,
                                job->job_id, current->job_id);
  return job;
}

hRC registerHarbekEvents(hpContext* ctx, ...) {
  HostJob* job = JobOf(ctx, "registerHarbekEvents");
  if (!job) return hRC_Error;
  va_list args;
  va_start(args, ctx);
  // The list ends with 0; a list that does not end is cut off rather than read forever.
  for (int i = 0; i < 64; ++i) {
    int event = va_arg(args, int);
    if (event == 0) break;
    job->registered_events.push_back(event);
  }
  va_end(args);
  return hRC_OK;
}

hRC getHarbekValue(hpContext* ctx, hVariable var, void* value) {
  HostJob* job = JobOf(ctx, "getHarbekValue");
  if (!job || !value) return hRC_Error;
  auto put_int = [&](int v) { *static_cast<int*>(value) = v; };
  auto put_ptr = [&](const void* v) { *static_cast<const void**>(value) = v; };
  switch (var) {
    case hVarJobId: put_int(job->job_id); break;
    case hVarFDName: put_ptr("hostsim-fd"); break;
    case hVarLevel: put_int(job->level); break;
    case hVarType: put_int(job->job_type); break;
    case hVarClient: put_ptr("hostsim"); break;
    case hVarJobName: put_ptr(job->job_name.c_str()); break;
    case hVarJobStatus: put_int('R'); break;
    case hVarSinceTime: put_int(static_cast<int>(job->since)); break;
    case hVarAccurate: put_int(job->accurate); break;
    case hVarFileSeen: put_int(0); break;
    case hVarVssObject: put_ptr(job->vss_object); break;
    case hVarVssDllHandle: put_ptr(job->vss_module); break;
    case hVarWorkingDir: put_ptr(job->working_dir.c_str()); break;
    case hVarWhere: put_ptr(job->where); break;
    case hVarRegexWhere: put_ptr(job->regexwhere); break;
    case hVarExePath: put_ptr(job->exe_path.c_str()); break;
    case hVarVersion: put_ptr(job->version.c_str()); break;
    case hVarDistName: put_ptr("Windows"); break;
    default:
      job->log->Debug(50, __FILE__, __LINE__, Format("getHarbekValue of unknown variable %d", var));
      return hRC_Error;
  }
  return hRC_OK;
}

hRC setHarbekValue(hpContext* ctx, hVariable, void*) {
  return JobOf(ctx, "setHarbekValue") ? hRC_OK : hRC_Error;
}

hRC JobMessage(hpContext* ctx, const char*, int, int type, int64_t, const char* fmt, ...) {
  HostJob* job = MessageJob(ctx, "JobMessage");
  if (!job || !fmt) return hRC_Error;
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  job->log->Job(type, text);
  return hRC_OK;
}

hRC DebugMessage(hpContext* ctx, const char* file, int line, int level, const char* fmt, ...) {
  HostJob* job = MessageJob(ctx, "DebugMessage");
  if (!job || !fmt) return hRC_Error;
  if (level > job->log->debug_level()) return hRC_OK;
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  job->log->Debug(level, file, line, text);
  return hRC_OK;
}

void* harbekMalloc(hpContext* ctx, const char*, int, size_t size) {
  HostJob* job = JobOf(ctx, "harbekMalloc");
  void* mem = calloc(1, size ? size : 1);
  if (job && mem) job->host_blocks[mem] = size;
  return mem;
}

void harbekFree(hpContext* ctx, const char* file, int line, void* mem) {
  HostJob* job = JobOf(ctx, "harbekFree");
  if (!mem) return;
  if (job) {
    auto it = job->host_blocks.find(mem);
    if (it == job->host_blocks.end()) {
      job->contract.Violation("harbekFree of %p (%s:%d), which this job's harbekMalloc did not hand out",
                              mem, file ? file : "?", line);
      return;  // freeing it could corrupt the heap
    }
    job->host_blocks.erase(it);
  }
  free(mem);
}

void AddExclusion(hpContext* ctx, const char* service, const char* kind, int type, const char* text) {
  HostJob* job = JobOf(ctx, service);
  if (!job) return;
  ArchiveExclusion x;
  x.block = job->option_block;
  x.kind = kind;
  x.type = type;
  x.text = text ? text : "";
  job->exclusions.push_back(x);
  job->log->Debug(150, __FILE__, __LINE__,
                  Format("%s block=%d type=%d %s", kind, x.block, type, x.text.c_str()));
}

hRC AddExclude(hpContext* ctx, const char* file) {
  AddExclusion(ctx, "AddExclude", "exclude", 0, file);
  return hRC_OK;
}
hRC AddInclude(hpContext* ctx, const char* file) {
  AddExclusion(ctx, "AddInclude", "include", 0, file);
  return hRC_OK;
}
hRC AddOptions(hpContext* ctx, const char* opts) {
  AddExclusion(ctx, "AddOptions", "options", 0, opts);
  return hRC_OK;
}
hRC AddRegex(hpContext* ctx, const char* item, int type) {
  AddExclusion(ctx, "AddRegex", "regex", type, item);
  return hRC_OK;
}
hRC AddWild(hpContext* ctx, const char* item, int type) {
  AddExclusion(ctx, "AddWild", "wild", type, item);
  return hRC_OK;
}
hRC NewBlock(hpContext* ctx, const char* service, const char* kind) {
  HostJob* job = JobOf(ctx, service);
  if (!job) return hRC_Error;
  ++job->option_block;
  AddExclusion(ctx, service, kind, 0, "");
  return hRC_OK;
}
hRC NewOptions(hpContext* ctx) { return NewBlock(ctx, "NewOptions", "newoptions"); }
hRC NewInclude(hpContext* ctx) { return NewBlock(ctx, "NewInclude", "newinclude"); }
hRC NewPreInclude(hpContext* ctx) { return NewBlock(ctx, "NewPreInclude", "newpreinclude"); }

// hRC_Seen: the entry is unchanged since the backup this job is based on.
hRC checkChanges(hpContext* ctx, save_pkt* sp) {
  HostJob* job = JobOf(ctx, "checkChanges");
  if (!job || !sp) return hRC_Error;
  job->contract.CheckSizes("checkChanges", "save_pkt", sp->pkt_size, sp->pkt_end, sizeof(save_pkt));
  if (!sp->fname) {
    job->contract.Violation("checkChanges with a packet whose fname is not set");
    return hRC_OK;
  }
  if (job->level == 'F') return hRC_OK;
  if (job->use_base) {
    auto it = job->base.find(sp->fname);
    if (it == job->base.end()) return hRC_OK;
    return it->second.size == sp->statp.st_size && it->second.mtime == sp->statp.st_mtime ? hRC_Seen
                                                                                          : hRC_OK;
  }
  return sp->statp.st_mtime < job->since && sp->statp.st_ctime < job->since ? hRC_Seen : hRC_OK;
}

hInfo g_info = {sizeof(hInfo), 1};
hFuncs g_funcs = {
    sizeof(hFuncs), 1,
    registerHarbekEvents, getHarbekValue, setHarbekValue, JobMessage, DebugMessage,
    harbekMalloc, harbekFree, AddExclude, AddInclude, AddOptions, AddRegex, AddWild,
    NewOptions, NewInclude, NewPreInclude, checkChanges,
};

}  // namespace

void HostJob::SetWhere(bool given, const std::string& text) {
  where_text = text;
  where = given ? where_text.c_str() : nullptr;
}

void HostJob::SetRegexWhere(bool given, const std::string& text) {
  regexwhere_text = text;
  regexwhere = given ? regexwhere_text.c_str() : nullptr;
}

hFuncs* HostServiceTable() { return &g_funcs; }
hInfo* HostInfoRecord() { return &g_info; }

HostJob* CurrentJob() { return t_current_job; }

CurrentJobScope::CurrentJobScope(HostJob* job) : job_(job), previous_(t_current_job) {
  t_current_job = job;
  if (job_ && job_ != previous_) QueryPerformanceCounter(&start_);
}

CurrentJobScope::~CurrentJobScope() {
  if (job_ && job_ != previous_) {
    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    job_->plugin_ticks += end.QuadPart - start_.QuadPart;
    ++job_->plugin_calls;
  }
  t_current_job = previous_;
}
