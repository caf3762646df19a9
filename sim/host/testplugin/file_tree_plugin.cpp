// A plug-in for the bench host that serves a real folder through the product's own instance,
// file node and file spec enumerator, so that whole jobs prove them. It stands in for the
// element, writer and component nodes only as far as needed to hand entries to file nodes.
//
// Command "files:/NAME/|FOLDER": backup sends every entry below FOLDER (a recursive "*" file
// spec), each named "/NAME/" + its path below FOLDER in the code page with '/' ('?' for what
// the code page lacks), and last the directory "/NAME/". Restore writes each entry below
// <working directory>\restored\NAME.
#include "frame/host_alloc.h"
#include "frame/host_messages.h"
#include "frame/text_convert.h"
#include "frame/vssfs.h"
#include "tree/find_filespec.h"
#include "tree/vssfs_element.h"
#include "tree/vssfs_file.h"

#include <cstring>
#include <cwchar>
#include <ctime>

namespace {

const int kJobBackup = 1;
const int kJobRestore = 2;

// "/NAME/" of a command, a new host block; null when the command has none.
char* command_name(const char* command) {
  const char* start = strchr(command, '/');
  const char* end = start ? strchr(start + 1, '/') : nullptr;
  if (!end) return nullptr;
  char* name = static_cast<char*>(HALLOC(end - start));
  memcpy(name, start + 1, end - start - 1);
  return name;
}

class folder_node_t : public vssfs_element_t {
 public:
  folder_node_t(vssfs_t* vssfs, char* name, WCHAR* folder) : vssfs_element_t(vssfs, name) {
    this->folder = folder;
    if (vssfs->job_type != kJobBackup) return;
    find = HNEW find_filespec_t(hpContext);
    find->add_filespec(folder, const_cast<WCHAR*>(L"*"));
    find->reset();
    have_entry = find->next();
  }
  ~folder_node_t() override {
    delete file;
    delete find;
    HFREE(folder);
  }

  bool queryIncludeWriter(VSS_ID, BSTR, VSS_USAGE_TYPE, VSS_SOURCE_TYPE) override { return false; }

  hRC startBackupFile(save_pkt* sp) override {
    if (!have_entry) {
      sp->fname = sp->link = full_path;
      sp->type = FILE_TYPE_DIRECTORY;
      sp->statp.st_mode = 040700;
      sp->statp.st_mtime = time(nullptr);
      done = true;
      return hRC_OK;
    }
    WCHAR* live = find->filename();
    char* name = NARROW_FROM_WIDE(live + wcslen(folder) + 1);
    if (!name) name = NARROW_FOR_MESSAGE(live + wcslen(folder) + 1);
    for (char* c = name; *c; ++c)
      if (*c == '\\') *c = '/';
    file = HNEW vssfs_file_t(vssfs, name, this);
    HFREE(name);
    HFREE(live);
    file->filename = find->alt_filename();
    file->is_dir = find->is_dir();
    file->is_reparse = find->is_reparse();
    vssfs->current_node = file;
    return file->startBackupFile(sp);
  }
  hRC endBackupFile() override {
    if (done) return hRC_OK;
    delete file;
    file = nullptr;
    have_entry = find->next();
    return hRC_More;
  }

  hRC createFile(restore_pkt* rp) override {
    size_t skip = strlen(full_path);
    if (strncmp(rp->ofname, full_path, skip) != 0 || !rp->ofname[skip]) {
      rp->create_status = CREATE_SKIP;
      return hRC_OK;
    }
    delete file;
    file = HNEW vssfs_file_t(vssfs, const_cast<char*>(rp->ofname + skip), this);
    WCHAR* relative = WIDE_FROM_NARROW(rp->ofname + skip);
    size_t length = wcslen(relative);
    if (length && relative[length - 1] == L'/') relative[--length] = L'\0';
    file->filename = static_cast<WCHAR*>(HALLOC((wcslen(folder) + length + 2) * sizeof(WCHAR)));
    wcscat(wcscat(wcscpy(file->filename, folder), L"\\"), relative);
    for (WCHAR* c = file->filename; *c; ++c)
      if (*c == L'/') *c = L'\\';
    HFREE(relative);
    vssfs->current_node = file;
    return file->createFile(rp);
  }
  hRC endRestoreFile() override {
    delete file;
    file = nullptr;
    return hRC_OK;
  }

 private:
  WCHAR* folder = nullptr;
  find_filespec_t* find = nullptr;
  vssfs_file_t* file = nullptr;
  bool have_entry = false;
  bool done = false;
};

vssfs_t* instance(hpContext* ctx) { return static_cast<vssfs_t*>(ctx->pContext); }

// The element of a command: backup reads FOLDER, restore writes below the working directory.
void start_command(vssfs_t* vssfs, const char* command) {
  delete vssfs->element_head;
  vssfs->element_head = nullptr;
  char* name = command_name(command);
  const char* bar = strchr(command, '|');
  WCHAR* folder = nullptr;
  if (vssfs->job_type == kJobBackup && bar) {
    folder = WIDE_FROM_NARROW(bar + 1);
  } else if (name) {
    char* working = nullptr;
    hfuncs->getHarbekValue(vssfs->hpContext, hVarWorkingDir, &working);
    char* target = static_cast<char*>(HALLOC(strlen(printable(working)) + strlen(name) + 12));
    strcat(strcat(strcpy(target, printable(working)), "\\restored\\"), name);
    folder = WIDE_FROM_NARROW(target);
    HFREE(target);
  }
  if (name && folder) {
    folder_node_t* node = HNEW folder_node_t(vssfs, name, folder);
    vssfs->element_head = node;
    vssfs->current_node = node;
  } else {
    HFREE(folder);
    Jmsg(vssfs->hpContext, JMSG_FATAL, "bad command %s\n", command);
  }
  HFREE(name);
}

hRC newPlugin(hpContext* ctx) {
  vssfs_t* vssfs = HNEW vssfs_t;
  vssfs->hpContext = ctx;
  ctx->pContext = vssfs;
  hfuncs->registerHarbekEvents(ctx, hEventJobStart, hEventJobEnd, 0);
  return hRC_OK;
}

hRC freePlugin(hpContext* ctx) {
  delete instance(ctx);
  ctx->pContext = nullptr;
  return hRC_OK;
}

hRC handlePluginEvent(hpContext* ctx, hEvent* event, void* value) {
  vssfs_t* vssfs = instance(ctx);
  switch (event->eventType) {
    case hEventStartBackupJob:
      vssfs->job_type = kJobBackup;
      break;
    case hEventStartRestoreJob:
      vssfs->job_type = kJobRestore;
      break;
    case hEventBackupCommand:
    case hEventRestoreCommand:
      start_command(vssfs, static_cast<const char*>(value));
      break;
    default:
      break;
  }
  return hRC_OK;
}

hRC startBackupFile(hpContext* ctx, save_pkt* sp) {
  vssfs_t* vssfs = instance(ctx);
  return vssfs->current_node ? vssfs->current_node->startBackupFile(sp) : hRC_Error;
}

// A file node hands control back to its folder, which then says whether more follows.
hRC endBackupFile(hpContext* ctx) {
  vssfs_t* vssfs = instance(ctx);
  vssfs_node_t* node = vssfs->current_node;
  hRC result = node->endBackupFile();
  return vssfs->current_node != node ? vssfs->current_node->endBackupFile() : result;
}

hRC createFile(hpContext* ctx, restore_pkt* rp) { return instance(ctx)->current_node->createFile(rp); }

hRC endRestoreFile(hpContext* ctx) {
  vssfs_t* vssfs = instance(ctx);
  hRC result = vssfs->current_node->endRestoreFile();
  return result == hRC_Seen ? vssfs->current_node->endRestoreFile() : result;
}

hRC pluginIO(hpContext* ctx, io_pkt* io) { return instance(ctx)->pluginIO(io); }
hRC pluginValue(hpContext*, pVariable, void*) { return hRC_OK; }
hRC startRestoreFile(hpContext*, const char*) { return hRC_OK; }
hRC setFileAttributes(hpContext*, restore_pkt*) { return hRC_OK; }
hRC checkFile(hpContext*, char*) { return hRC_OK; }

pInfo info = {sizeof(pInfo), 2017, "*FDPluginData*", "bench", "2026", "1", "file tree test plug-in", nullptr};
pFuncs funcs = {sizeof(pFuncs),   2017,           newPlugin,        freePlugin,        pluginValue,
                pluginValue,      handlePluginEvent, startBackupFile, endBackupFile,   startRestoreFile,
                endRestoreFile,   pluginIO,       createFile,       setFileAttributes, checkFile};

}  // namespace

extern "C" {

__declspec(dllexport) hRC loadPlugin(hInfo* host_info, hFuncs* host_funcs, pInfo** plugin_info,
                                     pFuncs** plugin_funcs) {
  hfuncs = host_funcs;
  hinfo = host_info;
  *plugin_info = &info;
  *plugin_funcs = &funcs;
  return hRC_OK;
}

__declspec(dllexport) hRC unloadPlugin() { return hRC_OK; }

}  // extern "C"
