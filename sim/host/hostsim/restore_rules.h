// What a restore takes from the archive, built the way a file daemon builds its restore tree,
// and the plug-in's promises at backup that a later restore relies on.
#pragma once

#include "../../../plugin/frame/host_interface.h"

#include "archive.h"
#include "contract.h"

#include <string>
#include <vector>

// Entries that carry their own data or state; unchanged entries and restore objects do not.
bool Restorable(const ArchiveEntry& entry);

// The chain that restores the newest state: the newest good full job, the newest good
// differential after it, then every good incremental after that one. Empty without a full job.
std::vector<const ArchiveJob*> RestoreChain(const std::vector<ArchiveJob>& jobs);

// '*' matches any run of characters ('/' too), '?' one character; case-sensitive.
bool WildcardMatch(const char* pattern, const char* name);

// Per job of `chain`, the entries to send, in job order. Normally a name is restored once, from
// the newest job that saved it, and not at all when a later job's checkFile answered it gone;
// `all_versions` sends every restorable entry of every job. A non-empty `select` keeps only the
// names that match one of its patterns.
std::vector<std::vector<const ArchiveEntry*>> PlanRestore(
    const std::vector<const ArchiveJob*>& chain, bool all_versions,
    const std::vector<std::string>& select);

// A restore object from startBackupFile: named alike by fname and object_name, index 0, and not
// under the name of the host's own document.
void CheckRestoreObject(const save_pkt& sp, ContractChecker& contract);

// Accurate mode, after the checkFile questions of `job` about the entries of `base`: a component
// information file answered gone while entries of its component that `base` holds stay present
// would leave those entries without their information file in a restore of the chain.
void CheckAnswersAgainstBase(const ArchiveJob& base, const ArchiveJob& job,
                             ContractChecker& contract);
