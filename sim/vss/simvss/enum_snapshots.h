// Snapshot properties as a requester receives them: from Query through IVssEnumObject, or from
// GetSnapshotProperties. Texts are allocated with CoTaskMemAlloc and released by the caller with
// VssFreeSnapshotProperties (exported by this module too).
#pragma once

#include <vector>

#include "snapshot.h"

// Fills `prop` from `record`; on failure nothing is left allocated.
HRESULT FillSnapshotProp(const SnapshotRecord& record, VSS_SNAPSHOT_PROP* prop);
void FreeSnapshotProp(VSS_SNAPSHOT_PROP* prop);

// An enumerator over a copy of `records`, positioned at the first.
HRESULT CreateSnapshotEnum(const std::vector<SnapshotRecord>& records, IVssEnumObject** out);
