// What the plug-in gets as the host's backup components object: a stand-in that forwards every
// call to the host's own object, but refuses (E_ACCESSDENIED, a contract violation) what only
// the requester may do, counts the plug-in's references, and remembers which components the
// plug-in added and which it reported as backed up.
#pragma once

#include "../../../plugin/vss/vss_interface.h"

#include "contract.h"


class VssGuard {
 public:
  VssGuard(IVssBackupComponents* inner, ContractChecker& contract);
  ~VssGuard();
  VssGuard(const VssGuard&) = delete;
  VssGuard& operator=(const VssGuard&) = delete;

  // The object to hand to the plug-in.
  IVssBackupComponents* object();
  // The host's object goes away: later calls are refused.
  void Detach();
  // Before BackupComplete: every component the plug-in added must have been reported.
  void CheckSucceededBeforeComplete();
  // At the end of the job: references the plug-in took and never gave back.
  void CheckReferencesAtEnd();

 private:
  class Proxy;
  Proxy* proxy_;
};
