#include "../../../plugin/frame/host_interface.h"

#include "contract.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {
const char kInfoMarker[] = "/:component_info_";
}

std::string ComponentPathOf(const std::string& name) {
  size_t at = name.rfind(kInfoMarker);
  if (at == std::string::npos) return std::string();
  return name.substr(0, at + 1);
}

bool IsPoison(const void* pointer) {
  uintptr_t poison;
  memset(&poison, kPoisonByte, sizeof poison);
  return reinterpret_cast<uintptr_t>(pointer) == poison;
}

bool KnownFileType(int type) {
  switch (type) {
    case FILE_TYPE_REGULAR:
    case FILE_TYPE_DIRECTORY:
    case FILE_TYPE_UNCHANGED:
    case FILE_TYPE_UNCHANGED_DIRECTORY:
    case FILE_TYPE_REPARSE:
    case FILE_TYPE_RESTORE_OBJECT:
    case FILE_TYPE_REPARSE_OTHER:
      return true;
    default:
      return false;
  }
}

// Unchanged entries and restore objects carry no data stream.
bool TypeHasData(int type) {
  return type == FILE_TYPE_REGULAR || type == FILE_TYPE_DIRECTORY || type == FILE_TYPE_REPARSE ||
         type == FILE_TYPE_REPARSE_OTHER;
}

void ContractChecker::Violation(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatText(fmt, args);
  va_end(args);
  ++count_;
  log_.Violation(text);
}

bool ContractChecker::CheckPluginRecords(hRC load_result, const pInfo* info, const pFuncs* funcs) {
  if (load_result != hRC_OK) {
    Violation("loadPlugin answered %d", load_result);
    return false;
  }
  if (!info || !funcs) {
    Violation("loadPlugin handed out no %s record", info ? "entry table" : "information");
    return false;
  }
  bool ok = true;
  if (info->size != 56 || info->version != 2017) {
    Violation("plug-in information record has size %u version %u (expected 56, 2017)", info->size,
              info->version);
    ok = false;
  }
  if (funcs->size != 112 || funcs->version != 2017) {
    Violation("plug-in entry table has size %u version %u (expected 112, 2017)", funcs->size,
              funcs->version);
    ok = false;
  }
  if (ok) {
    // Every slot is called by some job; a null one would crash the host.
    const void* const* slot = reinterpret_cast<const void* const*>(&funcs->newPlugin);
    for (int i = 0; i < 13; ++i)
      if (!slot[i]) {
        Violation("plug-in entry table slot %d is empty", i + 1);
        ok = false;
      }
  }
  return ok;
}

void ContractChecker::CheckSizes(const char* call, const char* packet, int32_t size, int32_t end,
                                 int32_t expected) {
  if (size != expected || end != expected)
    Violation("%s changed the size fields of its %s: pkt_size=%d pkt_end=%d (must stay %d)", call,
              packet, size, end, expected);
}

void ContractChecker::BeginCommand(size_t index, size_t count) {
  command_ = index;
  command_count_ = count;
  command_entries_.clear();
}

bool ContractChecker::CheckEntry(const save_pkt& sp) {
  if (!sp.fname || IsPoison(sp.fname)) {
    Violation("startBackupFile answered hRC_OK without setting fname");
    return false;
  }
  std::string name = sp.fname;
  if (!KnownFileType(sp.type))
    Violation("startBackupFile sent %s with file type %d, which is not in the table", name.c_str(),
              sp.type);

  if (sp.type == FILE_TYPE_RESTORE_OBJECT) {
    if (command_ + 1 < command_count_)
      Violation("restore object %s sent during command %zu of %zu: writer metadata documents "
                "belong after the last command's entries",
                name.c_str(), command_ + 1, command_count_);
    objects_started_ = true;
    if (!names_.insert(name).second) Violation("restore object %s sent twice in the job", name.c_str());
    return true;
  }
  if (objects_started_)
    Violation("entry %s sent after the writer metadata documents", name.c_str());
  // A restore object is named by fname and object_name alone; a file entry needs its link too.
  if (!sp.link || IsPoison(sp.link)) Violation("startBackupFile left link unset for %s", name.c_str());

  std::string component = ComponentPathOf(name);
  if (!component.empty()) {
    // Restore opens a component with its information file: nothing of it may come earlier.
    std::string bare = component.substr(0, component.size() - 1);
    for (const auto& earlier : command_entries_) {
      if (earlier == bare || (earlier.compare(0, component.size(), component) == 0 &&
                              ComponentPathOf(earlier) != component)) {
        Violation("component information file %s arrives after %s, an entry of its component",
                  name.c_str(), earlier.c_str());
        break;
      }
    }
  }
  if (!names_.insert(name).second) Violation("%s sent twice in the job", name.c_str());
  // Restore creates a directory from its entry and then sets its times and attributes: its
  // contents must already be there.
  for (size_t slash = name.rfind('/', name.size() - 2); slash != std::string::npos && slash > 0;
       slash = name.rfind('/', slash - 1)) {
    std::string parent = name.substr(0, slash + 1);
    if (directories_.count(parent)) {
      Violation("%s sent after its directory entry %s", name.c_str(), parent.c_str());
      break;
    }
  }
  if (sp.type == FILE_TYPE_DIRECTORY || sp.type == FILE_TYPE_UNCHANGED_DIRECTORY) {
    if (name.empty() || name.back() != '/')
      Violation("directory entry %s does not end in \"/\"", name.c_str());
    directories_.insert(name);
  }
  if (!component.empty()) CheckInfoSuffix(name, name.substr(component.size() + 16));
  command_entries_.push_back(name);
  return true;
}

// The suffix is the plug-in's unique id of the job, its start time: restore tells the jobs of a
// chain apart by it.
void ContractChecker::CheckInfoSuffix(const std::string& name, const std::string& suffix) {
  if (suffix.size() != 8 || suffix.find_first_not_of("0123456789abcdef") != std::string::npos) {
    Violation("component information file %s: the suffix is not eight lower-case hexadecimal "
              "digits", name.c_str());
    return;
  }
  if (info_suffix_.empty()) {
    info_suffix_ = suffix;
    uint32_t id = static_cast<uint32_t>(strtoul(suffix.c_str(), nullptr, 16));
    if (id < static_cast<uint32_t>(run_start_) || id > static_cast<uint32_t>(time(nullptr)))
      Violation("component information file %s: the suffix is no time within the job's run",
                name.c_str());
  } else if (suffix != info_suffix_) {
    Violation("component information file %s: the suffix differs from the job's first (%s)",
              name.c_str(), info_suffix_.c_str());
  }
}

bool ContractChecker::CheckOpened(hRC rc, const io_pkt& io, const char* /*name*/) {
  open_ = io.io_errno == 0 && rc == hRC_OK;
  return open_;
}

void ContractChecker::CheckIoAnswer(hRC rc, const io_pkt& io, const char* name) {
  static const char* const kNames[] = {"I/O call", "IO_OPEN", "IO_READ", "IO_WRITE", "IO_CLOSE", "IO_SEEK"};
  const char* call = kNames[io.func >= IO_OPEN && io.func <= IO_SEEK ? io.func : 0];
  int32_t poison;
  memset(&poison, kPoisonByte, sizeof poison);
  if (io.io_errno == poison)
    Violation("%s of %s left io_errno unset", call, name);
  else if (rc != hRC_OK && io.io_errno == 0)
    Violation("%s of %s answered %d with io_errno 0: the host judges the call by io_errno and "
              "would go on", call, name, rc);
  if (io.func == IO_READ && rc == hRC_OK && io.status == poison)
    Violation("IO_READ of %s left status unset", name);
}

void ContractChecker::CheckNotSeen(const char* call, hRC rc) {
  if (rc == hRC_Seen)
    Violation("%s answered hRC_Seen to the host: it only passes between the plug-in's nodes", call);
}

void ContractChecker::NoteIo(int func, const char* name) {
  if ((func == IO_READ || func == IO_WRITE || func == IO_SEEK) && !open_)
    Violation("I/O call %d on %s, which is not open", func, name);
  if (func == IO_CLOSE) open_ = false;
}

void ContractChecker::CheckBlocksAtEnd(long plugin_blocks, size_t host_service_blocks) {
  if (plugin_blocks > 0)
    Violation("%ld blocks of the host allocator (sm_malloc) still live after freePlugin",
              plugin_blocks);
  if (host_service_blocks > 0)
    Violation("%zu blocks from harbekMalloc not freed when the job ended", host_service_blocks);
}
