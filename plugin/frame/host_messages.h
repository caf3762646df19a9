// The host's service table and the plug-in's ways of writing to the job and debug logs.
#pragma once

#include "host_interface.h"

#include <cstdint>

extern hFuncs* hfuncs;
extern hInfo* hinfo;

// Never called: lets the compiler check each message's arguments against its format.
static inline void __attribute__((format(gnu_printf, 1, 2))) check_message_format(const char*, ...) {}

#define Dmsg(ctx, level, ...) \
  (check_message_format(__VA_ARGS__), \
   hfuncs->DebugMessage((ctx), __FILE__, __LINE__, (level), __VA_ARGS__))
#define Jmsg(ctx, type, ...) \
  (check_message_format(__VA_ARGS__), \
   hfuncs->JobMessage((ctx), __FILE__, __LINE__, (type), 0, __VA_ARGS__))

// Writes the entry line now and the exit line when the function returns, so that no return
// can forget it. An exit that must not write the line calls bypass() first.
class trace_guard_t {
 public:
  trace_guard_t(hpContext* ctx, const char* function) : ctx_(ctx), function_(function) {
    Dmsg(ctx_, 10, "Enter function %s\n", function_);
  }
  ~trace_guard_t() {
    if (function_) Dmsg(ctx_, 10, "Leave function %s\n", function_);
  }
  void bypass() { function_ = nullptr; }
  trace_guard_t(const trace_guard_t&) = delete;
  trace_guard_t& operator=(const trace_guard_t&) = delete;

 private:
  hpContext* ctx_;
  const char* function_;
};

// A handle as the number the debug log shows.
inline int handle_number(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

#define TRACE_FUNCTION(ctx) trace_guard_t trace_guard(ctx, __PRETTY_FUNCTION__)
