#include "restore_rules.h"

#include <cstring>
#include <map>
#include <set>

namespace {
const char kHostDocument[] = "job_metadata.xml";
}

bool Restorable(const ArchiveEntry& e) {
  return e.type != FILE_TYPE_UNCHANGED && e.type != FILE_TYPE_UNCHANGED_DIRECTORY &&
         e.type != FILE_TYPE_RESTORE_OBJECT;
}

std::vector<const ArchiveJob*> RestoreChain(const std::vector<ArchiveJob>& jobs) {
  std::vector<const ArchiveJob*> chain;
  const ArchiveJob* full = nullptr;
  for (const auto& j : jobs)
    if (j.ok && j.level == 'F') full = &j;
  if (!full) return chain;
  const ArchiveJob* differential = nullptr;
  for (const auto& j : jobs)
    if (j.ok && j.level == 'D' && j.id > full->id) differential = &j;
  chain.push_back(full);
  if (differential) chain.push_back(differential);
  for (const auto& j : jobs)
    if (j.ok && j.level == 'I' && j.id > chain.back()->id) chain.push_back(&j);
  return chain;
}

bool WildcardMatch(const char* pattern, const char* name) {
  // Greedy with one backtrack point: the last '*' seen.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return !*pattern;
}

std::vector<std::vector<const ArchiveEntry*>> PlanRestore(
    const std::vector<const ArchiveJob*>& chain, bool all_versions,
    const std::vector<std::string>& select) {
  // The newest job that saved each name, and the newest job that answered it gone.
  std::map<std::string, size_t> saved, gone;
  for (size_t i = 0; i < chain.size(); ++i) {
    for (const auto& e : chain[i]->entries)
      if (Restorable(e)) saved[e.name] = i;
    for (const auto& c : chain[i]->checks)
      if (!c.seen) gone[c.name] = i;
  }
  std::vector<std::vector<const ArchiveEntry*>> plan(chain.size());
  for (size_t i = 0; i < chain.size(); ++i) {
    for (const auto& e : chain[i]->entries) {
      if (!Restorable(e)) continue;
      if (!all_versions) {
        if (saved[e.name] != i) continue;
        auto g = gone.find(e.name);
        if (g != gone.end() && g->second > i) continue;
      }
      bool chosen = select.empty();
      for (const auto& pattern : select)
        chosen = chosen || WildcardMatch(pattern.c_str(), e.name.c_str());
      if (chosen) plan[i].push_back(&e);
    }
  }
  return plan;
}

void CheckRestoreObject(const save_pkt& sp, ContractChecker& contract) {
  const char* name = sp.fname ? sp.fname : "(no fname)";
  const char* object_name = IsPoison(sp.object_name) ? nullptr : sp.object_name;
  if (!object_name)
    contract.Violation("restore object %s sent without object_name", name);
  else if (sp.fname && strcmp(object_name, sp.fname) != 0)
    contract.Violation("restore object named %s by fname but %s by object_name", name,
                       object_name);
  if (sp.index != 0)
    contract.Violation("restore object %s has index %d (must be 0)", name, sp.index);
  // Restore would take it for the host's backup components document of the job.
  if (strcmp(name, kHostDocument) == 0 ||
      (object_name && strcmp(object_name, kHostDocument) == 0))
    contract.Violation("the plug-in sent a restore object named %s, the host's own document",
                       kHostDocument);
}

void CheckAnswersAgainstBase(const ArchiveJob& base, const ArchiveJob& job,
                             ContractChecker& contract) {
  // Names whose restore still takes the base job's data: answered seen, or sent unchanged.
  std::set<std::string> stays, gone;
  for (const auto& c : job.checks) (c.seen ? stays : gone).insert(c.name);
  for (const auto& e : job.entries)
    if (!Restorable(e)) stays.insert(e.name);
  for (const auto& info : base.entries) {
    std::string component = ComponentPathOf(info.name);
    if (component.empty() || !gone.count(info.name)) continue;
    for (const auto& e : base.entries) {
      if (!Restorable(e) || e.name.compare(0, component.size(), component) != 0 ||
          ComponentPathOf(e.name) == component || !stays.count(e.name))
        continue;
      contract.Violation(
          "checkFile answered %s gone, but %s of its component stays: a restore of "
          "the chain would bring it back without its component information file",
          info.name.c_str(), e.name.c_str());
      break;
    }
  }
}
