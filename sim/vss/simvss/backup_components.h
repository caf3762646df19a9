// IVssBackupComponents of the simulated service: the backup and restore sequences as a requester
// drives them against the configured machine, with the real service's answers to misuse:
//   - a call out of sequence: VSS_E_BAD_STATE;
//   - a null out pointer, an index out of range or a value outside its enumeration: E_INVALIDARG;
//   - a writer, component, volume or snapshot the service does not know: VSS_E_OBJECT_NOT_FOUND;
//   - a document that does not parse: VSS_E_INVALID_XML_DOCUMENT.
// Backup order: InitializeForBackup, [SetContext], SetBackupState, GatherWriterMetadata,
// AddComponent/SetPreviousBackupStamp, StartSnapshotSet, AddToSnapshotSet, PrepareForBackup,
// DoSnapshotSet, GatherWriterStatus (before GetWriterStatusCount/GetWriterStatus),
// SetBackupSucceeded, BackupComplete. Restore order: InitializeForRestore, GatherWriterMetadata,
// SetSelectedForRestore/SetAdditionalRestores, PreRestore, SetFileRestoreStatus, PostRestore.
// Snapshots made by an object go away with its last Release unless its context keeps them.
// What an asynchronous operation does becomes visible once the requester has seen it end; rules
// Windows documents but does not enforce are journalled as "misuse: " lines; the writers remember
// their stamps and recoveries in the state file (writer_memory.h); the machine description can
// make writers and operations fail (sim/vss/machines/README.md).
#pragma once

#include <memory>

#include "machine.h"

HRESULT CreateSimBackupComponents(std::shared_ptr<const Machine> machine, IVssBackupComponents** out);
