#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool ParseInt(const std::string& text, long lo, long hi, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long value = strtol(text.c_str(), &end, 10);
  if (errno || *end || value < lo || value > hi) return false;
  *out = value;
  return true;
}

bool ParseJobList(const std::string& text, std::vector<int>* jobs) {
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    long id;
    if (!ParseInt(text.substr(start, comma - start), 1, 0x7fffffff, &id)) return false;
    jobs->push_back(static_cast<int>(id));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// Which options each action takes; anything else is a usage error.
bool Allowed(Options::Action action, const std::string& name) {
  if (action != Options::kList && (name == "--cancel-after" || name == "--virtual-time")) return true;
  if (action == Options::kBackup && (name == "--after-snapshot" || name == "--partial-files")) return true;
  static const char* const kBackup[] = {"--machine", "--archive", "--command", "--level",
                                        "--accurate", "--debug", "--plugin", "--vss"};
  static const char* const kRestore[] = {"--machine", "--archive", "--jobs", "--where",
                                         "--regexwhere", "--debug", "--plugin", "--vss",
                                         "--select", "--all-versions"};
  static const char* const kList[] = {"--archive", "--jobs"};
  auto in = [&](const char* const* table, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (name == table[i]) return true;
    return false;
  };
  switch (action) {
    case Options::kBackup: return in(kBackup, sizeof kBackup / sizeof *kBackup);
    case Options::kRestore: return in(kRestore, sizeof kRestore / sizeof *kRestore);
    case Options::kList: return in(kList, sizeof kList / sizeof *kList);
    default: return false;
  }
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
  *o = Options();
  if (args.empty()) {
    *error = "no action given";
    return false;
  }
  if (args[0] == "backup")
    o->action = Options::kBackup;
  else if (args[0] == "restore")
    o->action = Options::kRestore;
  else if (args[0] == "list")
    o->action = Options::kList;
  else {
    *error = "unknown action '" + args[0] + "'";
    return false;
  }
  bool level_given = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (!Allowed(o->action, name)) {
      *error = "option '" + name + "' is not known to '" + args[0] + "'";
      return false;
    }
    if (name == "--accurate") {
      o->accurate = true;
      continue;
    }
    if (name == "--all-versions") {
      o->all_versions = true;
      continue;
    }
    if (name == "--virtual-time" || name == "--partial-files") {
      (name == "--virtual-time" ? o->virtual_time : o->partial_files) = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = "option '" + name + "' needs a value";
      return false;
    }
    const std::string& value = args[++i];
    long number;
    if (name == "--machine") {
      o->machine = value;
    } else if (name == "--archive") {
      o->archive = value;
    } else if (name == "--command") {
      if (value.empty()) {
        *error = "an empty --command";
        return false;
      }
      o->commands.push_back(value);
    } else if (name == "--level") {
      if (value != "F" && value != "I" && value != "D") {
        *error = "--level must be F, I or D";
        return false;
      }
      if (level_given && o->level != value[0]) {
        *error = "--level given twice";
        return false;
      }
      level_given = true;
      o->level = value[0];
    } else if (name == "--debug") {
      if (!ParseInt(value, 0, 1000000, &number)) {
        *error = "--debug needs a number from 0";
        return false;
      }
      o->debug = static_cast<int>(number);
    } else if (name == "--plugin") {
      o->plugin = value;
    } else if (name == "--vss") {
      o->vss = value;
    } else if (name == "--jobs") {
      if (!ParseJobList(value, &o->jobs)) {
        *error = "--jobs needs job ids separated by commas";
        return false;
      }
    } else if (name == "--where") {
      o->where_given = true;
      o->where = value;
    } else if (name == "--select") {
      if (value.empty()) {
        *error = "an empty --select";
        return false;
      }
      o->select.push_back(value);
    } else if (name == "--cancel-after") {
      if (!ParseInt(value, 1, 0x7fffffff, &o->cancel_after)) {
        *error = "--cancel-after needs a number from 1";
        return false;
      }
    } else if (name == "--after-snapshot") {
      o->after_snapshot = value;
    } else if (name == "--regexwhere") {
      o->regexwhere_given = true;
      o->regexwhere = value;
    }
  }
  if (o->archive.empty()) {
    *error = "--archive is required";
    return false;
  }
  if (o->action != Options::kList && o->machine.empty()) {
    *error = "--machine is required";
    return false;
  }
  if (o->action == Options::kBackup && o->commands.empty()) {
    *error = "at least one --command is required";
    return false;
  }
  return true;
}

const char* UsageText() {
  return "usage:\n"
         "  hostsim backup  --machine FILE --archive DIR --command TEXT [--command TEXT]...\n"
         "                  [--level F|I|D] [--accurate] [--debug N] [--plugin DLL] [--vss DLL]\n"
         "  hostsim restore --machine FILE --archive DIR [--jobs ID[,ID]...] [--where PATH]\n"
         "                  [--regexwhere EXPR] [--debug N] [--plugin DLL] [--vss DLL]\n"
         "                  [--select PATTERN]... [--all-versions]\n"
         "  hostsim list    --archive DIR [--jobs ID[,ID]...]\n"
         "backup and restore also take [--cancel-after N] [--virtual-time];\n"
         "backup also takes [--after-snapshot COMMAND] [--partial-files]\n"
         "\n"
         "--plugin and --vss default to the DLLs beside hostsim.exe (snaptree-fd.dll, simvss.dll);\n"
         "--vss none runs without a shadow copy service. --level defaults to F. --jobs on restore\n"
         "defaults to the chain of the newest full job, the newest differential after it and the\n"
         "incrementals after that. Exit status: 0 success, 1 a FATAL\n"
         "or ERROR message or a contract violation, 2 a usage error.\n";
}
