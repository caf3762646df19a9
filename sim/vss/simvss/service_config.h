// What the host told the service through SimVssConfigure: the machine it simulates (shared by
// every backup components object created afterwards) and the journal file.
#pragma once

#include <memory>

#include "machine.h"

// Loads the machine description (null: a machine without writers) and names the journal (null:
// none); the writers' state file is simvss-state.xml in the journal's folder. On a description that cannot be loaded the machine has no writers and the load error
// is returned.
HRESULT ConfigureService(const char* machine_file, const char* journal_file);
std::shared_ptr<const Machine> CurrentMachine();
