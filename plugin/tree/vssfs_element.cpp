#include "vssfs_element.h"

#include "vssfs_writer.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vssapi.h"

#include <cstring>
#include <ctime>

vssfs_element_t::vssfs_element_t(vssfs_t* vssfs, char* name) : vssfs_node_t(vssfs, name, VSSFS_NODE_ELEMENT) {
  TRACE_FUNCTION(hpContext);
  next = nullptr;
  selection_string = nullptr;
}

vssfs_element_t::~vssfs_element_t() {
  TRACE_FUNCTION(hpContext);
  // A backup that stopped half way leaves its writer node here.
  delete vssfs_writer;
  vssfs_writer = nullptr;
  HFREE(selection_string);
  selection_string = nullptr;
}

char* vssfs_element_t::_tocharstring(WCHAR* text, const char* file, int line) {
  char* narrow = text ? host_narrow_from_wide(file, line, text) : nullptr;
  return narrow ? narrow : host_strdup(file, line, "");
}

hRC vssfs_element_t::startBackupFile(save_pkt* sp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "startBackupFile_ELEMENT level=%d state=%d\n", level, state);
  for (;;) {
    switch (state) {
      case 0:
        vssapi = vssfs->vssapi;
        if (!vssapi) {
          Jmsg(hpContext, JMSG_FATAL, "No shadow copy components for element %s: the host never asked to add them.\n",
               name);
          state = 999;
          return hRC_Error;
        }
        state = 1;
        break;
      case 1: {
        while (vssapi_writer && !vssapi_writer->ownsComponentsOf(this)) vssapi_writer = vssapi_writer->next;
        if (!vssapi_writer) {
          state = 2;
          break;
        }
        char* writer_name = _tocharstring(vssapi_writer->writer_name, __FILE__, __LINE__);
        Dmsg(hpContext, 40, "new vssfs_writer filename=%s\n", writer_name);
        vssfs_writer = HNEW vssfs_writer_t(vssfs, writer_name, this);
        HFREE(writer_name);
        vssfs_writer->vssapi_writer = vssapi_writer;
        vssfs->current_node = vssfs_writer;
        return hRC_OK;
      }
      case 2:
        describeDirectory(sp);
        return hRC_OK;
      case 999:
        return hRC_Error;
      default:
        Jmsg(hpContext, JMSG_FATAL, "startBackupFile: invalid internal state %d\n", state);
        state = 999;
        return hRC_Error;
    }
  }
}

hRC vssfs_element_t::endBackupFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 100, "endBackupNode_ELEMENT level=%d state=%d\n", level, state);
  switch (state) {
    case 1:
      delete vssfs_writer;
      vssfs_writer = nullptr;
      if (vssapi_writer) vssapi_writer = vssapi_writer->next;
      return hRC_More;
    case 2:
      return hRC_OK;
    case 999:
      return hRC_Error;
    default:
      Jmsg(hpContext, JMSG_FATAL, "endBackupFile: invalid internal state %d\n", state);
      state = 999;
      return hRC_Error;
  }
}
