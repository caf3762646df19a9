// Records, codes and entry tables shared with the Harbek file daemon.
// They cross the boundary between separately built programs: layouts are fixed.
#pragma once

// The daemon's status record is 'struct stat' in the global namespace (its name is part of
// the import of lstat). The C runtime headers define a 'struct stat' of their own: they are
// read here first with that name moved aside, and their include guards keep it away later.
#if defined(_INC_STAT) || defined(_STAT_DEFINED)
#error "include host_interface.h before any header that defines the C runtime's struct stat"
#endif
#define stat mingw_crt_stat
#include <sys/stat.h>
#include <wchar.h>
#undef stat

#include <cstddef>
#include <cstdint>

struct stat {
  uint32_t st_dev;
  uint64_t st_ino;
  uint16_t st_mode;
  int16_t st_nlink;
  uint32_t st_uid;
  uint32_t st_gid;
  uint32_t st_rdev;
  uint64_t st_size;
  int64_t st_atime;
  int64_t st_mtime;
  int64_t st_ctime;
  uint32_t st_blksize;
  uint64_t st_blocks;
};

enum hRC {
  hRC_OK = 0,
  hRC_Stop = 1,
  hRC_Error = 2,
  hRC_More = 3,
  hRC_Term = 4,
  hRC_Seen = 5,
  hRC_Max = 9999
};

struct hpContext {
  void* hContext;
  void* pContext;
};

enum hVariable {
  hVarJobId = 1,
  hVarFDName = 2,
  hVarLevel = 3,
  hVarType = 4,
  hVarClient = 5,
  hVarJobName = 6,
  hVarJobStatus = 7,
  hVarSinceTime = 8,
  hVarAccurate = 9,
  hVarFileSeen = 10,
  hVarVssObject = 11,
  hVarVssDllHandle = 12,
  hVarWorkingDir = 13,
  hVarWhere = 14,
  hVarRegexWhere = 15,
  hVarExePath = 16,
  hVarVersion = 17,
  hVarDistName = 18,
  hVarBEEF = 19
};

enum pVariable {
  pVarName = 1,
  pVarDescription = 2
};

enum hEventType {
  hEventJobStart = 1,
  hEventJobEnd = 2,
  hEventStartBackupJob = 3,
  hEventEndBackupJob = 4,
  hEventStartRestoreJob = 5,
  hEventEndRestoreJob = 6,
  hEventStartVerifyJob = 7,
  hEventEndVerifyJob = 8,
  hEventBackupCommand = 9,
  hEventRestoreCommand = 10,
  hEventLevel = 11,
  hEventSince = 12,
  hEventCancelCommand = 13,
  hEventVssBackupAddComponents = 14,
  hEventVssRestoreLoadComponentMetadata = 15,
  hEventVssRestoreSetComponentsSelected = 16,
  hEventRestoreObject = 17,
  hEventEndFileSet = 18,
  hEventPluginCommand = 19,
  hEventVssBeforeCloseRestore = 20
};

typedef struct s_hEvent {
  uint32_t eventType;
} hEvent;

// File type codes of save_pkt.type and restore_pkt.type.
enum {
  FILE_TYPE_REGULAR = 3,
  FILE_TYPE_DIRECTORY = 5,
  FILE_TYPE_UNCHANGED = 10,
  FILE_TYPE_UNCHANGED_DIRECTORY = 11,
  FILE_TYPE_REPARSE = 21,
  FILE_TYPE_RESTORE_OBJECT = 25,
  FILE_TYPE_REPARSE_OTHER = 26
};

// restore_pkt.create_status
enum {
  CREATE_SKIP = 1,
  CREATE_WRITE_DATA = 3,
  CREATE_NO_DATA = 4
};

// The type argument of JobMessage.
enum {
  JMSG_FATAL = 3,
  JMSG_ERROR = 4,
  JMSG_WARNING = 5,
  JMSG_INFO = 6
};

// io_pkt.func
enum {
  IO_OPEN = 1,
  IO_READ = 2,
  IO_WRITE = 3,
  IO_CLOSE = 4,
  IO_SEEK = 5
};

// A file sent as byte ranges: its data comes back with data stream 6 or 7, each range after an IO_SEEK.
const uint32_t SAVE_FLAGS_PARTIAL = 0x50000000;

struct save_pkt {
  int32_t pkt_size;
  char* fname;
  char* link;
  struct stat statp;
  int32_t type;
  uint32_t flags;
  bool portable;
  char* cmd;
  char* object_name;
  char* object;
  int32_t object_len;
  int32_t index;
  int32_t pkt_end;
};

struct restore_pkt {
  int32_t pkt_size;
  int32_t stream;
  int32_t data_stream;
  int32_t type;
  int32_t file_index;
  int32_t LinkFI;
  uint32_t uid;
  struct stat statp;
  const char* attrEx;
  const char* ofname;
  const char* olname;
  const char* where;
  const char* RegexWhere;
  int replace;
  int create_status;
  int32_t pkt_end;
};

struct io_pkt {
  int32_t pkt_size;
  int32_t func;
  int32_t count;
  int32_t flags;
  uint16_t mode;
  char* buf;
  const char* fname;
  int32_t status;
  int32_t io_errno;
  int32_t lerror;
  int32_t whence;
  int64_t offset;
  bool win32;
  int32_t pkt_end;
};

struct restore_object_pkt {
  int32_t pkt_size;
  char* object_name;
  char* object;
  int32_t object_type;
  int32_t object_len;
  int32_t object_full_len;
  int32_t object_index;
  int32_t object_compression;
  int32_t stream;
  uint32_t JobId;
  int32_t pkt_end;
};

typedef struct s_harbekInfo {
  uint32_t size;
  uint32_t version;
} hInfo;

typedef struct s_harbekFuncs {
  uint32_t size;
  uint32_t version;
  hRC (*registerHarbekEvents)(hpContext* ctx, ...);
  hRC (*getHarbekValue)(hpContext* ctx, hVariable var, void* value);
  hRC (*setHarbekValue)(hpContext* ctx, hVariable var, void* value);
  hRC (*JobMessage)(hpContext* ctx, const char* file, int line, int type, int64_t mtime,
                    const char* fmt, ...);
  hRC (*DebugMessage)(hpContext* ctx, const char* file, int line, int level, const char* fmt, ...);
  void* (*harbekMalloc)(hpContext* ctx, const char* file, int line, size_t size);
  void (*harbekFree)(hpContext* ctx, const char* file, int line, void* mem);
  hRC (*AddExclude)(hpContext* ctx, const char* file);
  hRC (*AddInclude)(hpContext* ctx, const char* file);
  hRC (*AddOptions)(hpContext* ctx, const char* opts);
  hRC (*AddRegex)(hpContext* ctx, const char* item, int type);
  hRC (*AddWild)(hpContext* ctx, const char* item, int type);
  hRC (*NewOptions)(hpContext* ctx);
  hRC (*NewInclude)(hpContext* ctx);
  hRC (*NewPreInclude)(hpContext* ctx);
  hRC (*checkChanges)(hpContext* ctx, struct save_pkt* sp);
} hFuncs;

typedef struct s_pluginInfo {
  uint32_t size;
  uint32_t version;
  const char* plugin_magic;
  const char* plugin_author;
  const char* plugin_date;
  const char* plugin_version;
  const char* plugin_description;
  const char* reserved;  // unused; the daemon's record is one pointer longer than the fields above
} pInfo;

typedef struct s_pluginFuncs {
  uint32_t size;
  uint32_t version;
  hRC (*newPlugin)(hpContext* ctx);
  hRC (*freePlugin)(hpContext* ctx);
  hRC (*getPluginValue)(hpContext* ctx, pVariable var, void* value);
  hRC (*setPluginValue)(hpContext* ctx, pVariable var, void* value);
  hRC (*handlePluginEvent)(hpContext* ctx, hEvent* event, void* value);
  hRC (*startBackupFile)(hpContext* ctx, struct save_pkt* sp);
  hRC (*endBackupFile)(hpContext* ctx);
  hRC (*startRestoreFile)(hpContext* ctx, const char* cmd);
  hRC (*endRestoreFile)(hpContext* ctx);
  hRC (*pluginIO)(hpContext* ctx, struct io_pkt* io);
  hRC (*createFile)(hpContext* ctx, struct restore_pkt* rp);
  hRC (*setFileAttributes)(hpContext* ctx, struct restore_pkt* rp);
  hRC (*checkFile)(hpContext* ctx, char* fname);
} pFuncs;

// The plug-in's two exports, looked up by these plain names.
typedef hRC (*t_loadPlugin)(hInfo* host_info, hFuncs* host_funcs, pInfo** info, pFuncs** funcs);
typedef hRC (*t_unloadPlugin)();

#ifdef _WIN64
#define HOST_LAYOUT(rec, field, off) static_assert(offsetof(rec, field) == off, #rec "." #field)
HOST_LAYOUT(hpContext, pContext, 8);
static_assert(sizeof(hpContext) == 16, "hpContext");
static_assert(sizeof(hFuncs) == 136, "hFuncs");
static_assert(sizeof(pInfo) == 56, "pInfo");
static_assert(sizeof(pFuncs) == 112, "pFuncs");
static_assert(sizeof(struct stat) == 80, "stat");
HOST_LAYOUT(struct stat, st_ino, 8);
HOST_LAYOUT(struct stat, st_mode, 16);
HOST_LAYOUT(struct stat, st_nlink, 18);
HOST_LAYOUT(struct stat, st_uid, 20);
HOST_LAYOUT(struct stat, st_gid, 24);
HOST_LAYOUT(struct stat, st_rdev, 28);
HOST_LAYOUT(struct stat, st_size, 32);
HOST_LAYOUT(struct stat, st_atime, 40);
HOST_LAYOUT(struct stat, st_mtime, 48);
HOST_LAYOUT(struct stat, st_ctime, 56);
HOST_LAYOUT(struct stat, st_blksize, 64);
HOST_LAYOUT(struct stat, st_blocks, 72);
static_assert(sizeof(save_pkt) == 160, "save_pkt");
HOST_LAYOUT(save_pkt, fname, 8);
HOST_LAYOUT(save_pkt, link, 16);
HOST_LAYOUT(save_pkt, statp, 24);
HOST_LAYOUT(save_pkt, type, 104);
HOST_LAYOUT(save_pkt, flags, 108);
HOST_LAYOUT(save_pkt, portable, 112);
HOST_LAYOUT(save_pkt, cmd, 120);
HOST_LAYOUT(save_pkt, object_name, 128);
HOST_LAYOUT(save_pkt, object, 136);
HOST_LAYOUT(save_pkt, object_len, 144);
HOST_LAYOUT(save_pkt, index, 148);
HOST_LAYOUT(save_pkt, pkt_end, 152);
static_assert(sizeof(restore_pkt) == 168, "restore_pkt");
HOST_LAYOUT(restore_pkt, stream, 4);
HOST_LAYOUT(restore_pkt, data_stream, 8);
HOST_LAYOUT(restore_pkt, type, 12);
HOST_LAYOUT(restore_pkt, file_index, 16);
HOST_LAYOUT(restore_pkt, LinkFI, 20);
HOST_LAYOUT(restore_pkt, uid, 24);
HOST_LAYOUT(restore_pkt, statp, 32);
HOST_LAYOUT(restore_pkt, attrEx, 112);
HOST_LAYOUT(restore_pkt, ofname, 120);
HOST_LAYOUT(restore_pkt, olname, 128);
HOST_LAYOUT(restore_pkt, where, 136);
HOST_LAYOUT(restore_pkt, RegexWhere, 144);
HOST_LAYOUT(restore_pkt, replace, 152);
HOST_LAYOUT(restore_pkt, create_status, 156);
HOST_LAYOUT(restore_pkt, pkt_end, 160);
static_assert(sizeof(io_pkt) == 72, "io_pkt");
HOST_LAYOUT(io_pkt, func, 4);
HOST_LAYOUT(io_pkt, count, 8);
HOST_LAYOUT(io_pkt, flags, 12);
HOST_LAYOUT(io_pkt, mode, 16);
HOST_LAYOUT(io_pkt, buf, 24);
HOST_LAYOUT(io_pkt, fname, 32);
HOST_LAYOUT(io_pkt, status, 40);
HOST_LAYOUT(io_pkt, io_errno, 44);
HOST_LAYOUT(io_pkt, lerror, 48);
HOST_LAYOUT(io_pkt, whence, 52);
HOST_LAYOUT(io_pkt, offset, 56);
HOST_LAYOUT(io_pkt, win32, 64);
HOST_LAYOUT(io_pkt, pkt_end, 68);
static_assert(sizeof(restore_object_pkt) == 56, "restore_object_pkt");
HOST_LAYOUT(restore_object_pkt, object_name, 8);
HOST_LAYOUT(restore_object_pkt, object, 16);
HOST_LAYOUT(restore_object_pkt, object_type, 24);
HOST_LAYOUT(restore_object_pkt, object_len, 28);
HOST_LAYOUT(restore_object_pkt, object_full_len, 32);
HOST_LAYOUT(restore_object_pkt, object_index, 36);
HOST_LAYOUT(restore_object_pkt, object_compression, 40);
HOST_LAYOUT(restore_object_pkt, stream, 44);
HOST_LAYOUT(restore_object_pkt, JobId, 48);
HOST_LAYOUT(restore_object_pkt, pkt_end, 52);
#undef HOST_LAYOUT
#endif
