// What the machine's writers remember from one backup or restore to the next: the machine's
// backup count, the stamps each writer handed out for its components, and the writers that ran
// their recovery at the end of a restore. Kept in a state file beside the journal so that it
// outlives the process (a backup and the restore of it run in different processes); without a
// journal it lives only as long as the process.
//
//   <simvss-state backups="2">
//     <stamp writer="{...}" logicalPath="SRV" name="sales" stamp="LSN-2" type="incremental"
//            time="134000000000000000" complete="true"/>
//     <recovered writer="{...}"/>
//   </simvss-state>
#pragma once

#include <windows.h>
#include <vss.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct StampRecord {
  VSS_ID writer_class = GUID_NULL;
  std::optional<std::wstring> logical_path;
  std::wstring name;
  std::wstring stamp;
  VSS_BACKUP_TYPE type = VSS_BT_FULL;  // the kind of backup the writer took
  FILETIME time = {0, 0};              // when its snapshot was taken
  bool complete = false;               // BackupComplete reached the writer
};

struct WriterMemory {
  ULONG backups = 0;
  std::vector<StampRecord> stamps;
  std::vector<VSS_ID> recovered;
};

// The state file; empty: remembered in this process only, from nothing.
void WriterMemorySetPath(const std::wstring& path);
WriterMemory ReadWriterMemory();
// Reads the state, lets `change` alter it and keeps the result.
void ChangeWriterMemory(const std::function<void(WriterMemory&)>& change);
