#include "../../../plugin/frame/host_interface.h"

#include "virtual_clock.h"

#include "host_services.h"
#include "import_patch.h"

namespace {

VOID WINAPI VirtualSleep(DWORD ms) {
  HostJob* job = CurrentJob();
  if (!job || !job->virtual_time) {
    Sleep(ms);
    return;
  }
  job->virtual_ms += ms;
  ++job->sleeps;
  SwitchToThread();  // a polling plug-in still lets other threads run
}

}  // namespace

bool UseVirtualSleep(HMODULE plugin) {
  return ReplaceImport(plugin, "kernel32.dll", "Sleep", reinterpret_cast<void*>(VirtualSleep)) != nullptr;
}
