// Restore side of the element: matches the writer named in each entry to a writer record of the
// segment and hands the entry to a writer node; brackets its writers with the element milestones.
#include "vssfs_element.h"

#include "vssfs_writer.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vssapi.h"

#include <cstring>

namespace {

const int kSkipping = 900;
const int kFailed = 999;

}  // namespace

void vssfs_element_t::closeRestoreHooks() {
  if (!restore_hooks_open) return;
  restore_hooks_open = false;
  if (vssapi) vssapi->postElementRestore(this);
}

hRC vssfs_element_t::createFile(restore_pkt* rp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "createFile_ELEMENT %s level=%d state=%d\n", name, level, state);
  char** bits = vssfs->path_bits;
  int count = vssfs->path_bits_count;
  while (!vssfs->job_canceled) {
    Dmsg(hpContext, 50, "_createFile_ELEMENT state=%d\n", state);
    switch (state) {
      case 0:
        level = 1;
        last_unique_id = vssfs->unique_id;
        vssapi = vssfs->vssapi;
        if (vssapi) {
          vssapi->preElementRestore(this);
          restore_hooks_open = true;
          state = 1;
        } else {
          // The segment could not be opened: its entries are skipped, later segments go on.
          Jmsg(hpContext, JMSG_FATAL,
               "Missing components. You probably selected an incorrect or incomplete restore tree.\n");
          state = kSkipping;
        }
        break;
      case 1: {
        if (count <= level + 1) {
          state = 2;
          break;
        }
        if (strcmp(bits[level], name) != 0 || vssfs->unique_id != last_unique_id) {
          // Another command's or job's entry without the information file that would start it.
          Jmsg(hpContext, JMSG_WARNING, "%s skipped: it does not belong to element %s of this backup job.\n",
               printable(rp->ofname), name);
          rp->create_status = CREATE_SKIP;
          return hRC_OK;
        }
        Dmsg(hpContext, 50, "ascii_writer=%s\n",
             vssapi->writer_head ? printable(vssapi->writer_head->ascii_writer_name) : "Bad new vssapi_writer==NULL");
        vssapi_writer_t* found = nullptr;
        for (vssapi_writer_t* writer = vssapi->writer_head; writer && !found; writer = writer->next) {
          char* writer_name = _tocharstring(writer->writer_name, __FILE__, __LINE__);
          Dmsg(hpContext, 50, "comparing '%s' and '%s'\n", bits[level + 1], writer_name);
          if (strcmp(bits[level + 1], writer_name) == 0) {
            Dmsg(hpContext, 50, "Match writer %ls\n", printable(writer->writer_name));
            found = writer;
          } else {
            Dmsg(hpContext, 50, "No match writer %ls\n", printable(writer->writer_name));
          }
          HFREE(writer_name);
        }
        if (!found) {
          Dmsg(hpContext, 50, "Cannot find writer for \"%s\"\n", bits[level + 1]);
          Jmsg(hpContext, JMSG_WARNING, "Cannot find writer for \"%s\"\n", bits[level + 1]);
          closeRestoreHooks();
          state = kSkipping;
          break;
        }
        delete vssfs_writer;  // an earlier writer's node, already finished
        char* writer_name = _tocharstring(found->writer_name, __FILE__, __LINE__);
        vssfs_writer = HNEW vssfs_writer_t(vssfs, writer_name, this);
        HFREE(writer_name);
        vssfs_writer->vssapi_writer = found;
        vssfs_writer->level = level + 1;
        vssfs->current_node = vssfs_writer;
        return hRC_Seen;
      }
      case 2:
        closeRestoreHooks();
        rp->create_status = CREATE_NO_DATA;
        return hRC_OK;
      case kSkipping:
        rp->create_status = CREATE_SKIP;
        return hRC_OK;
      case kFailed:
        return hRC_Error;
      default:
        Jmsg(hpContext, JMSG_FATAL, "createFile: invalid internal state %d\n", state);
        state = kFailed;
        break;
    }
  }
  return hRC_Error;
}

hRC vssfs_element_t::endRestoreFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "endRestoreFile_ELEMENT state = %d\n", state);
  switch (state) {
    case 1:
      delete vssfs_writer;
      vssfs_writer = nullptr;
      return hRC_OK;
    case 2:
      state = 1;
      return hRC_OK;
    case 0:  // the entry never reached this element's routing (a cancelled job)
    case kSkipping:
      return hRC_OK;
    case kFailed:
      return hRC_Error;
    default:
      Jmsg(hpContext, JMSG_FATAL, "endRestoreFile: invalid internal state %d\n", state);
      state = kFailed;
      return hRC_Error;
  }
}

hRC vssfs_element_t::postRestore() {
  TRACE_FUNCTION(hpContext);
  if (vssfs_writer) {
    vssfs_writer->postRestore();
    delete vssfs_writer;
    vssfs_writer = nullptr;
  }
  closeRestoreHooks();
  vssapi = nullptr;
  return hRC_OK;
}
