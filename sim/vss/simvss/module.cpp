// The exports of simvss.dll: the two factories a requester finds by their decorated names, the
// host's configuration call and the release of snapshot properties.
#include <windows.h>
#include <vsbackup.h>

#include "backup_components.h"
#include "enum_snapshots.h"
#include "object_count.h"
#include "service_config.h"
#include "writer_metadata.h"

LONG g_simvss_objects = 0;

extern "C" HRESULT SimVssConfigure(const char* machine_file, const char* journal_file) {
  return ConfigureService(machine_file, journal_file);
}

extern "C" HRESULT SimCreateVssBackupComponents(IVssBackupComponents** out) {
  return CreateSimBackupComponents(CurrentMachine(), out);
}

extern "C" void SimVssFreeSnapshotProperties(VSS_SNAPSHOT_PROP* prop) { FreeSnapshotProp(prop); }

// Live objects of the module, for hosts that check for leaked references.
extern "C" LONG SimVssObjectCount() { return g_simvss_objects; }
