#include "vss_call_status.h"

#include "../frame/host_messages.h"

namespace {

struct call_status_text_t {
  HRESULT hr;
  const char* text;
};

// The code itself never reaches the job log: operators get these texts only.
const call_status_text_t call_status_texts[] = {
    {static_cast<HRESULT>(1), "No writer found for the current component."},
    {static_cast<HRESULT>(0x80042308), "The specified file does not exist."},
    {static_cast<HRESULT>(0x80042311), "The XML document is not valid."},
    {static_cast<HRESULT>(0x8007000E), "The caller is out of memory or other system resources."},
    {static_cast<HRESULT>(0x80070057), "One of the parameter values is not valid."},
};

const char unexpected_text[] = "Unexpected error. The error code is logged in the error log file.";

}  // namespace

void JmsgWriterCallStatus(hpContext* ctx, HRESULT hr, const char* call) {
  if (hr == 0) return;
  const char* text = unexpected_text;
  for (const call_status_text_t& entry : call_status_texts) {
    if (entry.hr == hr) {
      text = entry.text;
      break;
    }
  }
  Jmsg(ctx, JMSG_WARNING, "Writer \"%s\" call failure. ERR=%s\n", call, text);
}
