// Restore side of the writer node: the restore sequence is not built yet, so every entry is skipped.
#include "vssfs_writer.h"

#include "../frame/host_messages.h"

hRC vssfs_writer_t::createFile(restore_pkt* rp) {
  TRACE_FUNCTION(hpContext);
  rp->create_status = CREATE_SKIP;
  return hRC_OK;
}

hRC vssfs_writer_t::endRestoreFile() {
  TRACE_FUNCTION(hpContext);
  return hRC_OK;
}
