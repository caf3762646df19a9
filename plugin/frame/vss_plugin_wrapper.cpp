// The plug-in's exports and the entry table that routes each host call to the job's instance.
#include "host_alloc.h"
#include "host_messages.h"
#include "vssfs.h"

namespace {

vssfs_t* instance(hpContext* ctx) { return static_cast<vssfs_t*>(ctx->pContext); }

// No exception may cross into the host. The host allocator failing is the only one the
// plug-in raises; the call then fails as a whole.
template <typename Call>
hRC guarded(hpContext* ctx, const char* entry, Call call) {
  try {
    return call();
  } catch (...) {
    Jmsg(ctx, JMSG_FATAL, "Out of memory in %s\n", entry);
    return hRC_Error;
  }
}

hRC newPlugin(hpContext* ctx) {
  return guarded(ctx, "newPlugin", [&] {
    vssfs_t* vssfs = HNEW vssfs_t;
    return vssfs->newPlugin(ctx);
  });
}

hRC freePlugin(hpContext* ctx) {
  return guarded(ctx, "freePlugin", [&] {
    vssfs_t* vssfs = instance(ctx);
    if (!vssfs) return hRC_OK;
    hRC result = vssfs->freePlugin();
    delete vssfs;
    ctx->pContext = nullptr;
    return result;
  });
}

hRC getPluginValue(hpContext* ctx, pVariable var, void* value) {
  return guarded(ctx, "getPluginValue", [&] { return instance(ctx)->getPluginValue(var, value); });
}

hRC setPluginValue(hpContext* ctx, pVariable var, void* value) {
  return guarded(ctx, "setPluginValue", [&] { return instance(ctx)->setPluginValue(var, value); });
}

hRC handlePluginEvent(hpContext* ctx, hEvent* event, void* value) {
  return guarded(ctx, "handlePluginEvent", [&] { return instance(ctx)->handlePluginEvent(event, value); });
}

hRC startBackupFile(hpContext* ctx, save_pkt* sp) {
  return guarded(ctx, "startBackupFile", [&] {
    hRC result = instance(ctx)->startBackupFile(sp);
    Dmsg(ctx, 40, "startBackupFile: %s\n", sp->fname);
    return result;
  });
}

hRC endBackupFile(hpContext* ctx) {
  return guarded(ctx, "endBackupFile", [&] { return instance(ctx)->endBackupFile(); });
}

hRC startRestoreFile(hpContext* ctx, const char* cmd) {
  return guarded(ctx, "startRestoreFile", [&] { return instance(ctx)->startRestoreFile(cmd); });
}

hRC endRestoreFile(hpContext* ctx) {
  return guarded(ctx, "endRestoreFile", [&] { return instance(ctx)->endRestoreFile(); });
}

hRC pluginIO(hpContext* ctx, io_pkt* io) {
  return guarded(ctx, "pluginIO", [&] { return instance(ctx)->pluginIO(io); });
}

hRC createFile(hpContext* ctx, restore_pkt* rp) {
  return guarded(ctx, "createFile", [&] { return instance(ctx)->createFile(rp); });
}

hRC setFileAttributes(hpContext* ctx, restore_pkt* rp) {
  return guarded(ctx, "setFileAttributes", [&] { return instance(ctx)->setFileAttributes(rp); });
}

hRC checkFile(hpContext* ctx, char* fname) {
  return guarded(ctx, "checkFile", [&] { return instance(ctx)->checkFile(fname); });
}

pInfo pluginInfo = {
    sizeof(pInfo), 2017, "*FDPluginData*", "Ilse Marhold", "July 2010", "1",
    "Windows VSS Plugin", nullptr,
};

pFuncs pluginFuncs = {
    sizeof(pFuncs),   2017,           newPlugin,        freePlugin,     getPluginValue,
    setPluginValue,   handlePluginEvent, startBackupFile, endBackupFile, startRestoreFile,
    endRestoreFile,   pluginIO,       createFile,       setFileAttributes, checkFile,
};

}  // namespace

extern "C" {

__declspec(dllexport) hRC loadPlugin(hInfo* host_info, hFuncs* host_funcs, pInfo** info,
                                     pFuncs** funcs) {
  hfuncs = host_funcs;
  hinfo = host_info;
  *info = &pluginInfo;
  *funcs = &pluginFuncs;
  return hRC_OK;
}

__declspec(dllexport) hRC unloadPlugin() { return hRC_OK; }

}  // extern "C"
