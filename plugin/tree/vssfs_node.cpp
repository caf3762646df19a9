#include "vssfs_node.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"

#include <cstring>

namespace {

hRC io_answer(io_pkt* io, int io_errno, hRC result) {
  io->status = 0;
  io->io_errno = io_errno;
  return result;
}

}  // namespace

vssfs_node_t::vssfs_node_t(vssfs_t* vssfs, char* name, int type) {
  TRACE_FUNCTION(vssfs->hpContext);
  init_node(vssfs, name, type);
  full_path = make_full_path();
  state = 0;
  last_unique_id = 0;
}

vssfs_node_t::vssfs_node_t(vssfs_t* vssfs, char* name, int type, vssfs_node_t* parent) {
  TRACE_FUNCTION(vssfs->hpContext);
  init_node(vssfs, name, type);
  this->parent = parent;
  full_path = make_full_path();
  state = 0;
  level = parent->level + 1;
}

void vssfs_node_t::init_node(vssfs_t* vssfs, char* name, int type) {
  this->vssfs = vssfs;
  this->type = type;
  hpContext = vssfs->hpContext;
  this->name = HSTRDUP(printable(name));
}

vssfs_node_t::~vssfs_node_t() {
  TRACE_FUNCTION(hpContext);
  HFREE(name);
  name = nullptr;
  HFREE(full_path);
  full_path = nullptr;
}

char* vssfs_node_t::make_full_path() {
  TRACE_FUNCTION(hpContext);
  size_t total = 0;
  for (vssfs_node_t* node = this; node; node = node->parent) total += strlen(node->name) + 1;

  // Directories (every kind but files) carry a final "/".
  bool directory = type != VSSFS_NODE_FILE;
  char* path = static_cast<char*>(HALLOC(total + (directory ? 2 : 1)));
  size_t end = total;
  if (directory) path[total] = '/';
  for (vssfs_node_t* node = this; node; node = node->parent) {
    size_t len = strlen(node->name);
    end -= len;
    memcpy(path + end, node->name, len);
    path[--end] = '/';
  }
  Dmsg(hpContext, 50, "full_path=%s\n", path);
  return path;
}

void vssfs_node_t::describeDirectory(save_pkt* sp, char* path) {
  if (!path) path = full_path;
  sp->fname = path;
  sp->link = path;
  memset(&sp->statp, 0, sizeof(sp->statp));
  time_t now = time(nullptr);
  sp->statp.st_atime = sp->statp.st_mtime = sp->statp.st_ctime = now;
  sp->statp.st_mode = 0x41C0;  // a directory with owner read, write and execute
  sp->statp.st_nlink = 1;
  sp->type = FILE_TYPE_DIRECTORY;
  Dmsg(hpContext, 40, "Backing up dir mode=0x%08x: %s\n", static_cast<unsigned>(sp->statp.st_mode), path);
}

hRC vssfs_node_t::postRestore() {
  TRACE_FUNCTION(hpContext);
  return hRC_OK;
}

hRC vssfs_node_t::pluginIoOpen(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoOpen_Node\n");
  return io_answer(io, 0, hRC_OK);
}

hRC vssfs_node_t::pluginIoRead(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoRead_Node\n");
  return io_answer(io, 0, hRC_OK);  // no data: the end of the stream
}

hRC vssfs_node_t::pluginIoWrite(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoWrite_Node\n");
  Jmsg(hpContext, JMSG_FATAL, "Invalid pluginIoWrite_Node call\n");
  return io_answer(io, 1, hRC_Error);
}

hRC vssfs_node_t::pluginIoSeek(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoSeek_Node\n");
  Jmsg(hpContext, JMSG_FATAL, "Invalid pluginIoSeek_Node call\n");
  return io_answer(io, 1, hRC_Error);
}

hRC vssfs_node_t::pluginIoClose(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoClose_Node\n");
  return io_answer(io, 0, hRC_OK);
}
