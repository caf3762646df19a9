// A small plug-in that serves a known tree, so the bench host can be proved without the real
// plug-in. Built once well-behaved and once per deliberate fault (TESTPLUGIN_FAULT_*), each fault
// breaking one promise the host checks.
//
// Command: "test:/NAME/" with optional ":gen=N" (N changes a.txt's content and time) and
// ":wait=N" (N one-second Sleep calls when the command's backup begins). The tree
// of NAME, in the order it is sent:
//   /NAME/comp/:component_info_<id>  the component's information file
//   /NAME/comp/a.txt                 1000+N bytes, modified at 1700000000+N
//   /NAME/comp/sub/b.bin             150000 bytes (several I/O blocks)
//   /NAME/comp/sub/empty.dat         no bytes
//   /NAME/comp/sub/                  directory
//   /NAME/comp/ranges.db             byte ranges 0:100, 4096:5000, 200000:10
//   /NAME/comp/                      directory
//   /NAME/                           directory
// After the last command: one restore object "vss_test_NAME.xml" per command.
// With a shadow copy service it adds the first component of the first writer to the host's
// backup and reports it backed up when /NAME/comp/ is sent; it holds one reference of its own
// on the host's object from then until freePlugin.
// Restore writes every file below <working directory>\restored and journals each call in
// <working directory>\testplugin-journal.txt.
#include "../../../plugin/frame/host_core.h"
#include "../../../plugin/frame/host_interface.h"
#include "../../../plugin/vss/vss_interface.h"

#include "test_tree.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {

hFuncs* g_host;
hpContext* g_last_context;  // only the late-call fault uses it

using test_tree::ContentByte;
using test_tree::kBaseTime;

struct Range {
  int64_t offset, length;
};

struct Entry {
  std::string name;
  int type;
  int64_t size;
  int64_t mtime;
  int gen;
  bool partial;
  bool info;
  std::vector<Range> ranges;
};

struct Command {
  std::string text;
  std::string name;
  int gen;
  int wait;
};

// The component added to the host's backup.
struct Added {
  VSS_ID instance, writer;
  VSS_COMPONENT_TYPE type;
  std::wstring path, name;
  bool has_path;
};

#if defined(TESTPLUGIN_FAULT_OTHER_CONTEXT)
// Two jobs at once: each sends a message through the other's context.
std::atomic<hpContext*> g_contexts[2];
std::atomic<int> g_sent{0};

void WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) Sleep(10);
}
#endif

struct Instance {
  hpContext* ctx;
  std::string working;
  std::string unique;
  std::vector<Command> commands;
  int level = 'F';
  // backup
  size_t command = 0;
  std::vector<Entry> entries;
  size_t cursor = 0;
  bool objects = false;
  size_t object = 0;
  std::string object_name, object_data;
  // data transfer
  const Entry* io_entry = nullptr;
  int64_t io_pos = 0;
  size_t io_range = 0;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string restore_name;
  int restore_type = 0;
  void* leaked = nullptr;
  IVssBackupComponents* vss = nullptr;  // the host's object, with our own reference
  bool added = false;
  Added component{};

  void Journal(const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
  void Trace(const char* what) { g_host->DebugMessage(ctx, __FILE__, __LINE__, 50, "%s\n", what); }
};

void Instance::Journal(const char* fmt, ...) {
  char line[2048];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  FILE* f = fopen((working + "\\testplugin-journal.txt").c_str(), "ab");
  if (!f) return;
  fprintf(f, "%s\n", line);
  fclose(f);
}

Instance* Of(hpContext* ctx) { return static_cast<Instance*>(ctx->pContext); }

std::string Field(const std::string& text, size_t n) {
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    start = text.find(':', start);
    if (start == std::string::npos) return std::string();
    ++start;
  }
  return text.substr(start, text.find(':', start) - start);
}

void BuildTree(Instance* p, const Command& c) {
  std::string top = "/" + c.name + "/";
  std::string comp = top + "comp/";
  auto add = [&](const std::string& name, int type, int64_t size, int gen, int64_t mtime) {
    Entry e{name, type, size, mtime, gen, false, false, {}};
    p->entries.push_back(e);
  };
  std::string suffix = p->unique;
#if defined(TESTPLUGIN_FAULT_BAD_SUFFIX)
  suffix = "0badc0de";
#endif
  Entry info{comp + ":component_info_" + suffix, FILE_TYPE_REGULAR,
             sizeof test_tree::kInfoContent - 1, kBaseTime, 0, false, true, {}};
  p->entries.push_back(info);
  add(comp + "a.txt", FILE_TYPE_REGULAR, 1000 + c.gen, c.gen, kBaseTime + c.gen);
#if defined(TESTPLUGIN_FAULT_LATE_INFO)
  std::swap(p->entries[p->entries.size() - 1], p->entries[p->entries.size() - 2]);
#endif
#if defined(TESTPLUGIN_FAULT_TWICE)
  add(comp + "a.txt", FILE_TYPE_REGULAR, 1000 + c.gen, c.gen, kBaseTime + c.gen);
#endif
#if defined(TESTPLUGIN_FAULT_BAD_DIR)
  add(comp + "sub/", FILE_TYPE_DIRECTORY, 0, 0, kBaseTime);
#endif
  add(comp + "sub/b.bin", FILE_TYPE_REGULAR, test_tree::kBigSize, 0, kBaseTime);
  add(comp + "sub/empty.dat", FILE_TYPE_REGULAR, 0, 0, kBaseTime);
#if !defined(TESTPLUGIN_FAULT_BAD_DIR)
  add(comp + "sub/", FILE_TYPE_DIRECTORY, 0, 0, kBaseTime);
#endif
  Entry ranges{comp + "ranges.db", FILE_TYPE_REGULAR, test_tree::kRangesFileSize, kBaseTime, 0, true, false,
               {{0, 100}, {4096, 5000}, {200000, 10}}};
  p->entries.push_back(ranges);
  add(comp, FILE_TYPE_DIRECTORY, 0, 0, kBaseTime);
#if defined(TESTPLUGIN_FAULT_BAD_DIR)
  top.pop_back();
#endif
  add(top, FILE_TYPE_DIRECTORY, 0, 0, kBaseTime);
}

// The first component of the first writer goes into the host's backup.
void AddComponent(Instance* p) {
  IVssBackupComponents* vss = nullptr;
  g_host->getHarbekValue(p->ctx, hVarVssObject, &vss);
  if (!vss) return;
  vss->AddRef();
  p->vss = vss;
#if defined(TESTPLUGIN_FAULT_VSS_PREPARE)
  IVssAsync* async = nullptr;
  vss->PrepareForBackup(&async);
#endif
#if defined(TESTPLUGIN_FAULT_VSS_RELEASE)
  vss->Release();
  vss->Release();
#endif
#if defined(TESTPLUGIN_FAULT_MISUSE)
  // As the service writes a broken rule into its journal (beside the working folder).
  FILE* journal = fopen((p->working + "\\..\\vss-journal.txt").c_str(), "ab");
  if (journal) {
    fprintf(journal, "misuse: AddComponent after PrepareForBackup\n");
    fclose(journal);
  }
#endif
  VSS_ID instance;
  IVssExamineWriterMetadata* metadata = nullptr;
  if (FAILED(vss->GetWriterMetadata(0, &instance, &metadata)) || !metadata) return;
  Added& a = p->component;
  BSTR writer_name = nullptr;
  VSS_USAGE_TYPE usage;
  VSS_SOURCE_TYPE source;
  IVssWMComponent* component = nullptr;
  PVSSCOMPONENTINFO info = nullptr;
  if (SUCCEEDED(metadata->GetIdentity(&a.instance, &a.writer, &writer_name, &usage, &source)) &&
      SUCCEEDED(metadata->GetComponent(0, &component)) && component &&
      SUCCEEDED(component->GetComponentInfo(&info)) && info) {
    a.type = info->type;
    a.has_path = info->bstrLogicalPath != nullptr;
    a.path = info->bstrLogicalPath ? info->bstrLogicalPath : L"";
    a.name = info->bstrComponentName ? info->bstrComponentName : L"";
    p->added = SUCCEEDED(vss->AddComponent(a.instance, a.writer, a.type,
                                           a.has_path ? a.path.c_str() : nullptr, a.name.c_str()));
    component->FreeComponentInfo(info);
  }
  SysFreeString(writer_name);
  if (component) component->Release();
#if !defined(TESTPLUGIN_FAULT_VSS_LEAK)
  metadata->Release();
#endif
  p->Journal("added component %d", p->added ? 1 : 0);
}

hRC newPlugin(hpContext* ctx) {
  void* mem = sm_malloc(__FILE__, __LINE__, sizeof(Instance));
  Instance* p = new (mem) Instance();
  p->ctx = ctx;
  ctx->pContext = p;
  g_last_context = ctx;
#if defined(TESTPLUGIN_FAULT_OTHER_CONTEXT)
  hpContext* none = nullptr;
  if (!g_contexts[0].compare_exchange_strong(none, ctx)) g_contexts[1] = ctx;
#endif
  g_host->registerHarbekEvents(ctx, hEventJobStart, hEventJobEnd, 0);
  char* working = nullptr;
  g_host->getHarbekValue(ctx, hVarWorkingDir, &working);
  p->working = working ? working : ".";
#if defined(TESTPLUGIN_FAULT_LEAK)
  p->leaked = sm_malloc(__FILE__, __LINE__, 32);
#endif
  return hRC_OK;
}

hRC freePlugin(hpContext* ctx) {
  Instance* p = Of(ctx);
  if (!p) return hRC_OK;
  if (p->file != INVALID_HANDLE_VALUE) CloseHandle(p->file);
  if (p->vss) p->vss->Release();
  p->~Instance();
  sm_free(__FILE__, __LINE__, p);
  ctx->pContext = nullptr;
  return hRC_OK;
}

hRC getPluginValue(hpContext*, pVariable, void*) { return hRC_OK; }
hRC setPluginValue(hpContext*, pVariable, void*) { return hRC_OK; }

hRC handlePluginEvent(hpContext* ctx, hEvent* event, void* value) {
  Instance* p = Of(ctx);
  switch (event->eventType) {
    case hEventJobStart:
      p->Journal("event JobStart");
#if defined(TESTPLUGIN_FAULT_NULL_CONTEXT)
      g_host->JobMessage(nullptr, __FILE__, __LINE__, JMSG_INFO, 0, "job starts\n");
#endif
      break;
    case hEventPluginCommand: {
      std::string text = static_cast<const char*>(value);
      std::string path = Field(text, 1);
      std::string gen = Field(text, 2);
      std::string wait = Field(text, 3);
      Command c{text, path.size() > 2 ? path.substr(1, path.size() - 2) : "x",
                gen.compare(0, 4, "gen=") == 0 ? atoi(gen.c_str() + 4) : 0,
                wait.compare(0, 5, "wait=") == 0 ? atoi(wait.c_str() + 5) : 0};
      p->commands.push_back(c);
      p->Journal("event PluginCommand %s", text.c_str());
      break;
    }
    case hEventLevel:
      p->level = static_cast<int>(reinterpret_cast<intptr_t>(value));
      p->Journal("event Level %c", p->level);
      break;
    case hEventStartBackupJob: {
      char id[16];
      snprintf(id, sizeof id, "%08x", static_cast<unsigned>(time(nullptr)));
      p->unique = id;
      p->Journal("event StartBackupJob");
      break;
    }
    case hEventSince:
      p->Journal("event Since %lld", static_cast<long long>(reinterpret_cast<intptr_t>(value)));
      break;
    case hEventEndFileSet:
      // The host keeps the exclusions in the job's record.
      g_host->NewOptions(ctx);
      g_host->AddOptions(ctx, "ei");
      g_host->AddRegex(ctx, "[A-Z]:/pagefile\\.sys", 'F');
      g_host->AddWild(ctx, "*.tmp", ' ');
      p->Journal("event EndFileSet");
      break;
    case hEventBackupCommand: {
      std::string text = static_cast<const char*>(value);
      p->Journal("event BackupCommand %s", text.c_str());
      p->entries.clear();
      p->cursor = 0;
      for (size_t i = 0; i < p->commands.size(); ++i)
        if (p->commands[i].text == text) {
          p->command = i;
          BuildTree(p, p->commands[i]);
          // As a plug-in polls a slow operation once a second.
          for (int n = 0; n < p->commands[i].wait; ++n) Sleep(1000);
        }
      break;
    }
    case hEventVssBackupAddComponents:
      p->Journal("event AddComponents");
      AddComponent(p);
      break;
    case hEventRestoreObject:
      if (!value) {
        p->Journal("object null");
      } else {
        auto* rop = static_cast<restore_object_pkt*>(value);
        p->Journal("object %s len=%d job=%u", rop->object_name, rop->object_len, rop->JobId);
      }
      break;
    case hEventRestoreCommand:
      p->Journal("event RestoreCommand %s", static_cast<const char*>(value));
      break;
    default:
      p->Journal("event %u", event->eventType);
      break;
  }
  return hRC_OK;
}

void FillStat(const Entry& e, save_pkt* sp) {
  memset(&sp->statp, 0, sizeof sp->statp);
  sp->statp.st_mode = e.type == FILE_TYPE_DIRECTORY ? 0040755 : 0100644;
  sp->statp.st_nlink = 1;
  sp->statp.st_size = static_cast<uint64_t>(e.size);
  sp->statp.st_mtime = e.mtime;
  sp->statp.st_ctime = e.mtime;
  sp->statp.st_atime = e.mtime;
  sp->statp.st_blksize = 4096;
}

hRC startBackupFile(hpContext* ctx, save_pkt* sp) {
  Instance* p = Of(ctx);
  if (p->objects) {
    const Command& c = p->commands[p->object];
    p->object_name = "vss_test_" + c.name + ".xml";
    p->object_data = "<test name=\"" + c.name + "\"/>";
    // Like a writer metadata document: named by fname and object_name, no link.
    sp->fname = &p->object_name[0];
    sp->object_name = sp->fname;
    sp->object = &p->object_data[0];
    sp->object_len = static_cast<int32_t>(p->object_data.size());
    sp->index = 0;
    sp->type = FILE_TYPE_RESTORE_OBJECT;
#if defined(TESTPLUGIN_FAULT_BAD_OBJECT)
    sp->object_name = const_cast<char*>("job_metadata.xml");
    sp->index = 1;
#endif
    p->Journal("send object %s", p->object_name.c_str());
    return hRC_OK;
  }
  const Entry& e = p->entries[p->cursor];
#if defined(TESTPLUGIN_FAULT_OTHER_CONTEXT)
  if (p->cursor == 0) {
    WaitFor([] { return g_contexts[1] != nullptr; });
    hpContext* other = g_contexts[0] == ctx ? g_contexts[1].load() : g_contexts[0].load();
    if (other) g_host->JobMessage(other, __FILE__, __LINE__, JMSG_INFO, 0, "first entry\n");
    ++g_sent;
    WaitFor([] { return g_sent == 2; });
  }
#endif
  sp->fname = const_cast<char*>(e.name.c_str());
  sp->link = sp->fname;
#if defined(TESTPLUGIN_FAULT_NO_LINK)
  sp->link = nullptr;
#endif
  FillStat(e, sp);
  sp->type = e.type;
  if (e.partial) {
    sp->flags |= SAVE_FLAGS_PARTIAL;
  } else if (e.type == FILE_TYPE_REGULAR && !e.info && g_host->checkChanges(ctx, sp) == hRC_Seen) {
    sp->type = FILE_TYPE_UNCHANGED;
  }
#if defined(TESTPLUGIN_FAULT_BAD_TYPE)
  if (e.name.find("a.txt") != std::string::npos) sp->type = 42;
#endif
#if defined(TESTPLUGIN_FAULT_BAD_SIZE)
  if (p->cursor == 0) sp->pkt_end = 0;
#endif
  p->io_entry = &e;
  p->Journal("send %d %s", sp->type, e.name.c_str());
  return hRC_OK;
}

hRC endBackupFile(hpContext* ctx) {
  Instance* p = Of(ctx);
  bool last_command = p->command + 1 == p->commands.size();
#if defined(TESTPLUGIN_FAULT_EARLY_OBJECT)
  last_command = true;
#endif
  if (p->objects) {
    if (++p->object < p->commands.size()) return hRC_More;
    p->objects = false;
    return hRC_OK;
  }
  const Entry& sent = p->entries[p->cursor];
  if (p->added && sent.type == FILE_TYPE_DIRECTORY && sent.name.size() > 5 &&
      sent.name.compare(sent.name.size() - 5, 5, "comp/") == 0) {
#if !defined(TESTPLUGIN_FAULT_VSS_NO_SUCCESS)
    const Added& a = p->component;
    p->vss->SetBackupSucceeded(a.instance, a.writer, a.type, a.has_path ? a.path.c_str() : nullptr,
                               a.name.c_str(), true);
#endif
  }
#if defined(TESTPLUGIN_FAULT_SEEN)
  if (sent.name.find("a.txt") != std::string::npos) return hRC_Seen;
#endif
  if (++p->cursor < p->entries.size()) return hRC_More;
  if (!last_command) return hRC_OK;
  // The restore objects follow within the last command.
  p->objects = true;
  p->object = 0;
  return hRC_More;
}

hRC startRestoreFile(hpContext* ctx, const char* cmd) {
  Of(ctx)->Journal("startRestoreFile %s", cmd);
  return hRC_OK;
}

hRC endRestoreFile(hpContext* ctx) {
  Instance* p = Of(ctx);
  p->Journal("endRestoreFile");
  return hRC_OK;
}

std::string LocalPath(Instance* p, const std::string& name) {
  std::string path = p->working + "\\restored";
  for (char c : name) path += c == '/' ? '\\' : c;
  return path;
}

void MakeParents(const std::string& path) {
  for (size_t i = path.find('\\', 3); i != std::string::npos; i = path.find('\\', i + 1))
    CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
}

hRC createFile(hpContext* ctx, restore_pkt* rp) {
  Instance* p = Of(ctx);
  p->restore_name = rp->ofname;
  p->restore_type = rp->type;
  p->Journal("createFile type=%d stream=%d %s", rp->type, rp->data_stream, rp->ofname);
  if (rp->type == FILE_TYPE_DIRECTORY) {
    std::string path = LocalPath(p, rp->ofname);
    MakeParents(path);
    CreateDirectoryA(path.c_str(), nullptr);
    rp->create_status = CREATE_NO_DATA;
  } else {
    rp->create_status = CREATE_WRITE_DATA;
  }
  return hRC_OK;
}

hRC setFileAttributes(hpContext* ctx, restore_pkt* rp) {
  Of(ctx)->Journal("setFileAttributes %s", rp->ofname);
  return hRC_OK;
}

hRC IoBackup(Instance* p, io_pkt* io) {
  const Entry& e = *p->io_entry;
  switch (io->func) {
    case IO_OPEN:
      p->io_pos = 0;
      p->io_range = 0;
#if defined(TESTPLUGIN_FAULT_OPEN_ERROR)
      if (e.name.find("b.bin") != std::string::npos) return hRC_Error;
#endif
      return hRC_OK;
    case IO_READ: {
#if defined(TESTPLUGIN_FAULT_READ_ERROR)
      if (e.name.find("b.bin") != std::string::npos) return hRC_Error;
#endif
      int64_t start = p->io_pos, end = e.size;
      if (e.partial) {
        while (p->io_range < e.ranges.size() &&
               p->io_pos >= e.ranges[p->io_range].offset + e.ranges[p->io_range].length)
          ++p->io_range;
        if (p->io_range == e.ranges.size()) {
          io->status = 0;
          return hRC_OK;
        }
        const Range& r = e.ranges[p->io_range];
        if (p->io_pos < r.offset) p->io_pos = r.offset;
        start = p->io_pos;
        end = r.offset + r.length;
      }
      int64_t n = std::min<int64_t>(end - start, io->count);
      if (n < 0) n = 0;
      for (int64_t i = 0; i < n; ++i)
        io->buf[i] = e.info ? test_tree::kInfoContent[start + i] : static_cast<char>(ContentByte(e.name, e.gen, start + i));
      io->offset = start;
      io->status = static_cast<int32_t>(n);
      p->io_pos = start + n;
      return hRC_OK;
    }
    default:
      return hRC_OK;
  }
}

hRC IoRestore(Instance* p, io_pkt* io) {
  switch (io->func) {
    case IO_OPEN: {
      std::string path = LocalPath(p, p->restore_name);
      MakeParents(path);
      p->file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
      if (p->file == INVALID_HANDLE_VALUE) {
        io->io_errno = 1;
        return hRC_Error;
      }
      SetEndOfFile(p->file);
      p->Journal("IO_OPEN %s", p->restore_name.c_str());
      return hRC_OK;
    }
    case IO_SEEK: {
      LARGE_INTEGER to;
      to.QuadPart = io->offset;
      p->Journal("IO_SEEK %lld", static_cast<long long>(io->offset));
      if (!SetFilePointerEx(p->file, to, nullptr, FILE_BEGIN)) io->io_errno = 1;
      return hRC_OK;
    }
    case IO_WRITE: {
      DWORD written = 0;
      if (!WriteFile(p->file, io->buf, io->count, &written, nullptr)) {
        io->io_errno = 1;
        return hRC_Error;
      }
      p->Journal("IO_WRITE %d", io->count);
      io->status = static_cast<int32_t>(written);
      return hRC_OK;
    }
    case IO_CLOSE:
      p->Journal("IO_CLOSE");
      if (p->file != INVALID_HANDLE_VALUE) CloseHandle(p->file);
      p->file = INVALID_HANDLE_VALUE;
      return hRC_OK;
    default:
      return hRC_OK;
  }
}

hRC pluginIO(hpContext* ctx, io_pkt* io) {
  Instance* p = Of(ctx);
#if !defined(TESTPLUGIN_FAULT_NO_ERRNO)
  io->status = 0;
  io->io_errno = 0;
#endif
  return p->restore_name.empty() ? IoBackup(p, io) : IoRestore(p, io);
}

hRC checkFile(hpContext* ctx, char* fname) {
  Instance* p = Of(ctx);
  p->Journal("checkFile %s", fname);
#if defined(TESTPLUGIN_FAULT_GONE_INFO)
  if (strstr(fname, ":component_info_")) return hRC_OK;
#endif
  // Entries of the removed command "gone" are reported gone; everything else counts as present.
  return strstr(fname, "/gone/") ? hRC_OK : hRC_Seen;
}

pInfo g_info = {sizeof(pInfo), 2017, "*FDPluginData*", "Bench Test", "July 2010", "1",
                "Bench test plug-in", nullptr};
pFuncs g_funcs = {sizeof(pFuncs), 2017, newPlugin, freePlugin, getPluginValue, setPluginValue,
                  handlePluginEvent, startBackupFile, endBackupFile, startRestoreFile,
                  endRestoreFile, pluginIO, createFile, setFileAttributes, checkFile};

}  // namespace

extern "C" {

__declspec(dllexport) hRC loadPlugin(hInfo*, hFuncs* funcs, pInfo** info, pFuncs** out) {
  g_host = funcs;
  *info = &g_info;
  *out = &g_funcs;
  return hRC_OK;
}

__declspec(dllexport) hRC unloadPlugin() {
#if defined(TESTPLUGIN_FAULT_LATE_CALL)
  if (g_last_context) g_host->DebugMessage(g_last_context, __FILE__, __LINE__, 10, "unloading\n");
#endif
  return hRC_OK;
}

}  // extern "C"
