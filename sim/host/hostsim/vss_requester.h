// The host's own use of the shadow copy service during a backup, as a requester drives it.
#pragma once

#include "../../../plugin/vss/vss_interface.h"

#include "job_log.h"

#include <string>

class VssRequester {
 public:
  explicit VssRequester(JobLog& log) : log_(log) {}
  ~VssRequester();

  IVssBackupComponents* object() const { return components_; }

  // Creates the object, initialises it for a backup of `level` and gathers writer metadata.
  bool Begin(t_CreateVssBackupComponents factory, char level, bool partial_files);
  // Prepares the backup and takes the snapshot set of the volumes the writers' components
  // live on.
  bool TakeSnapshot();
  // The backup components document as UTF-16 bytes with the terminating NUL.
  bool SaveDocument(std::string* bytes);
  bool Complete();
  // A cancelled job: the backup is aborted, which also drops its snapshots.
  void Abort();
  void DeleteSnapshot();
  // Gives the object back; before the service's module goes.
  void Release();

 private:
  bool Call(HRESULT hr, const char* call);
  bool Wait(IVssAsync* async, const char* call);
  void CollectVolumes(std::vector<std::wstring>* volumes);

  JobLog& log_;
  IVssBackupComponents* components_ = nullptr;
  VSS_ID snapshot_set_{};
  bool have_snapshot_ = false;
};
