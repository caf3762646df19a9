// Generations of a machine's files: generation 0 is the description's layout; each later
// generation changes a deterministic part of the files of the one before (new content, with the
// same, a larger or a smaller size), removes some and adds new ones beside others, so backups
// taken between generations have real changes to find.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "machine.h"

struct GenerationFile {
  std::wstring path;  // as described, environment variables unexpanded
  DWORD size = 0;
  unsigned version = 0;  // how many generations changed its content
  bool hive = false;
  std::optional<std::wstring> loaded_as;
};

// The files of `generation`, and the described paths of files that earlier generations had and
// this one no longer has.
std::vector<GenerationFile> GenerationFiles(const Machine& machine, unsigned generation,
                                            std::vector<std::wstring>* removed = nullptr);

// What seeds a file's content: its described path, and the version once it has changed.
std::wstring ContentSeed(const GenerationFile& file);

struct LayoutCounts {
  size_t written = 0;    // created or rewritten
  size_t unchanged = 0;  // already as the generation lays it out, left alone
  size_t removed = 0;    // files of earlier generations deleted
};

// Makes the disk hold `generation` of the machine's files (paths expanded with the process's
// environment). Files already right are left untouched, so their times tell unchanged files from
// changed ones. Each hive with a hive list name gets its hive list value.
HRESULT LayOutGeneration(const Machine& machine, unsigned generation, LayoutCounts* counts,
                         std::wstring* error);

// Removes the hive list values that the machine's hives name.
HRESULT RemoveMachineHiveList(const Machine& machine, std::wstring* error);

struct VerifyReport {
  size_t identical = 0;
  std::vector<std::wstring> differences;  // "missing: ", "extra: ", "different: " + path ...
};

// Compares the folder `root` (the machine's SIMVSS_ROOT) with what `generation` lays out there:
// every file of the generation, and every file found below `root`.
HRESULT VerifyGeneration(const Machine& machine, unsigned generation, const std::wstring& root,
                         VerifyReport* report);
