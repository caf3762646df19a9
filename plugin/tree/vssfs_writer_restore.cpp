// Restore side of the writer node: receives each component's information file, finds the
// component it names and hands the component's entries to a component node.
#include "vssfs_writer.h"

#include "vssfs_component.h"
#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "../vss/vssapi.h"

#include <cstring>
#include <cwchar>

namespace {

// An information file holds two short lines; anything larger is damage.
const size_t kMaxComponentInfo = 64 * 1024;

bool wide_equal(const WCHAR* a, const WCHAR* b) { return wcscmp(printable(a), printable(b)) == 0; }

}  // namespace

void vssfs_writer_t::closeRestoreHooks() {
  if (!restore_hooks_open) return;
  restore_hooks_open = false;
  if (vssapi_writer) vssapi_writer->postWriterRestore(this);
}

void vssfs_writer_t::dropComponent() {
  if (!vssfs_component) return;
  vssfs_component->endComponentRestore();
  delete vssfs_component;
  vssfs_component = nullptr;
}

// The entry belongs to another writer or backup job: end here and let the element take it.
hRC vssfs_writer_t::writerChange() {
  Dmsg(hpContext, 50, "Writer change detected - %s != %s\n",
       vssfs->path_bits_count > level ? vssfs->path_bits[level] : "", name);
  closeRestoreHooks();
  state = 3;
  endRestoreFile();
  return hRC_Seen;
}

hRC vssfs_writer_t::createFile(restore_pkt* rp) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "createFile_WRITER level=%d state=%d\n", level, state);
  char** bits = vssfs->path_bits;
  int count = vssfs->path_bits_count;
  for (;;) {
    Dmsg(hpContext, 50, "_createFile_WRITER state=%d level=%d\n", state, level);
    switch (state) {
      case 0:
        last_unique_id = vssfs->unique_id;
        if (vssapi_writer) vssapi_writer->preWriterRestore(this);
        restore_hooks_open = true;
        state = 1;
        break;
      case 1: {
        if (count > level && count <= level + 1 && strcmp(bits[level], name) == 0) {
          state = 3;
          break;
        }
        if (count <= level || strcmp(bits[level], name) != 0 || vssfs->unique_id != last_unique_id)
          return writerChange();
        for (component_level = level + 1; component_level + 1 < count; ++component_level)
          Dmsg(hpContext, 50, "complevel=%d %s\n", component_level, bits[component_level]);
        if (strncmp(bits[component_level], ":component_info_", 16) == 0) {
          HFREE(component_id_buffer);
          component_id_buffer = nullptr;
          component_id_buffer_offset = 0;
          component_unmatched = false;
          --component_level;
          rp->create_status = CREATE_WRITE_DATA;
          return hRC_OK;
        }
        if (rp->type == FILE_TYPE_DIRECTORY) {
          // A parent component's own directory, sent after its children's data.
          rp->create_status = CREATE_NO_DATA;
          return hRC_OK;
        }
        Jmsg(hpContext, JMSG_FATAL, " bad data1 read from component_id file\n");
        Dmsg(hpContext, 50, "level=%d cannot find :component_info_ in \"%s\"\n", component_level,
             bits[component_level]);
        return hRC_Error;
      }
      case 2: {
        if (count <= level + 1) {
          // The writer's own entry after an information file whose component sent nothing.
          HFREE(component_id_buffer);
          component_id_buffer = nullptr;
          dropComponent();
          state = 1;
          break;
        }
        Dmsg(hpContext, 50, "name=%s\n", bits[count - 1]);
        if (strncmp(bits[count - 1], ":component_info_", 16) == 0) {
          Dmsg(hpContext, 50, "Component change detected\n");
          component_unmatched = false;
          endRestoreFile();
          break;
        }
        if (strcmp(bits[level], name) != 0) return writerChange();
        if (!component_id_buffer && rp->type == FILE_TYPE_DIRECTORY && !component_unmatched) {
          // A parent component's own directory, sent after its children's data.
          rp->create_status = CREATE_NO_DATA;
          return hRC_OK;
        }
        if (component_unmatched && !component_id_buffer) {
          rp->create_status = CREATE_SKIP;  // the rest of a component this writer does not have
          return hRC_OK;
        }
        WCHAR* path = nullptr;
        WCHAR* component_name = nullptr;
        if (!parseComponentInfo(&path, &component_name)) {
          HFREE(component_id_buffer);
          component_id_buffer = nullptr;
          return hRC_Error;
        }
        Dmsg(hpContext, 50, "=== Looking for component path=%ls name=%ls\n", path, component_name);
        vssapi_component_t* found = nullptr;
        for (vssapi_component_t* c = vssapi_writer ? vssapi_writer->component_head : nullptr; c && !found;
             c = c->next) {
          Dmsg(hpContext, 50, " testing path=%ls name=%ls\n", printable(c->component_path),
               printable(c->component_name));
          if (wide_equal(c->component_path, path) && wide_equal(c->component_name, component_name)) {
            Dmsg(hpContext, 50, " Match path=%ls name=%ls\n", path, component_name);
            found = c;
          } else {
            Dmsg(hpContext, 50, " No match component path=%ls name=%ls\n", printable(c->component_path),
                 printable(c->component_name));
          }
        }
        if (!found && vssapi_writer && vssapi_writer->componentLeftOut(component_name)) {
          // Left out by its handler on purpose: not a fault of the backup.
          Jmsg(hpContext, JMSG_INFO, "Component %ls of writer \"%ls\" is not restored: its entries are skipped.\n",
               component_name, printable(vssapi_writer->writer_name));
          HFREE(component_id_buffer);
          component_id_buffer = nullptr;
          component_unmatched = true;
          rp->create_status = CREATE_SKIP;
          return hRC_OK;
        }
        if (!found) {
          Jmsg(hpContext, JMSG_FATAL, "Could not match component path=%ls name=%ls\n", path, component_name);
          Dmsg(hpContext, 50, "Could not match component path=%ls name=%ls\n", path, component_name);
          HFREE(component_id_buffer);
          component_id_buffer = nullptr;
          component_unmatched = true;
          rp->create_status = CREATE_SKIP;
          return hRC_Error;
        }
        HFREE(component_id_buffer);
        component_id_buffer = nullptr;
        dropComponent();
        vssfs_component = HNEW vssfs_component_t(vssfs, bits[component_level], this);
        vssfs_component->level = component_level;
        vssfs_component->vssapi_component = found;
        vssfs_component->vssapi_writer = vssapi_writer;
        vssfs->current_node = vssfs_component;
        return hRC_Seen;
      }
      case 3:
        closeRestoreHooks();
        rp->create_status = CREATE_NO_DATA;
        return hRC_OK;
      default:
        Jmsg(hpContext, JMSG_FATAL, "Invalid createFile_WRITER state=%d\n", state);
        return hRC_Error;
    }
  }
}

// Splits the information file into the component's logical path and name, in place.
bool vssfs_writer_t::parseComponentInfo(WCHAR** path, WCHAR** component_name) {
  TRACE_FUNCTION(hpContext);
  size_t offset = component_id_buffer_offset;
  if (!component_id_buffer || offset == 0 || offset % 2) {
    Jmsg(hpContext, JMSG_FATAL, " bad data2 read from component_id file\n");
    return false;
  }
  size_t units = offset / 2;
  if (component_id_buffer[units - 1] != L'\0') {
    Dmsg(hpContext, 50, "offset=%d buffer=%.*ls\n", static_cast<int>(units - 1), static_cast<int>(units),
         component_id_buffer);
    Jmsg(hpContext, JMSG_FATAL, " bad data3 read from component_id file\n");
    return false;
  }
  int line_feeds = 0;
  for (const WCHAR* p = component_id_buffer; *p; ++p) line_feeds += *p == L'\n';
  if (line_feeds != 2) {
    Jmsg(hpContext, JMSG_FATAL, " bad data read from component_id file\n");
    return false;
  }
  WCHAR* first = wcschr(component_id_buffer, L'\n');
  *first = L'\0';
  WCHAR* second = wcschr(first + 1, L'\n');
  *second = L'\0';
  *path = component_id_buffer;
  *component_name = first + 1;
  return true;
}

hRC vssfs_writer_t::pluginIoWrite(io_pkt* io) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "pluginIoWrite :component\n");
  io->status = 0;
  io->io_errno = 1;
  if (state != 1) {
    Jmsg(hpContext, JMSG_FATAL, "Invalid plugioWrite state=%d\n", state);
    return hRC_Error;
  }
  size_t offset = component_id_buffer_offset;
  if (io->count < 0 || !io->buf || offset + static_cast<size_t>(io->count) > kMaxComponentInfo) {
    Jmsg(hpContext, JMSG_FATAL, "Component information file %s is damaged: %d more bytes after %d.\n",
         vssfs->path_bits_count ? vssfs->path_bits[vssfs->path_bits_count - 1] : "", io->count,
         static_cast<int>(offset));
    HFREE(component_id_buffer);
    component_id_buffer = nullptr;
    component_id_buffer_offset = 0;
    return hRC_Error;
  }
  if (offset) Dmsg(hpContext, 50, "Oops second :component offset=%d count=%d\n", static_cast<int>(offset), io->count);
  // Two zero bytes beyond the data, so the buffer can always be shown as a text.
  char* grown = static_cast<char*>(HALLOC(offset + static_cast<size_t>(io->count) + 2));
  if (offset) memcpy(grown, component_id_buffer, offset);
  memcpy(grown + offset, io->buf, static_cast<size_t>(io->count));
  HFREE(component_id_buffer);
  component_id_buffer = reinterpret_cast<WCHAR*>(grown);
  component_id_buffer_offset = offset + static_cast<size_t>(io->count);
  io->status = io->count;
  io->io_errno = 0;
  Dmsg(hpContext, 50, ":component writer=%d bytes\n", io->count);
  return hRC_OK;
}

hRC vssfs_writer_t::endRestoreFile() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "endRestoreFile_WRITER state=%d\n", state);
  switch (state) {
    case 1:
      state = 2;
      return hRC_OK;
    case 2:
      // The entries of a component without a record follow its information file: keep skipping.
      if (component_unmatched && !vssfs_component) return hRC_OK;
      dropComponent();
      state = 1;
      return hRC_OK;
    case 3:
      state = 0;
      vssfs->current_node = parent;
      return hRC_Seen;
    default:
      Jmsg(hpContext, JMSG_FATAL, "Invalid endRestoreFile_WRITER state=%d\n", state);
      return hRC_Error;
  }
}

hRC vssfs_writer_t::postRestore() {
  TRACE_FUNCTION(hpContext);
  state = 1;
  if (vssfs_component) {
    vssfs_component->postRestore();
    dropComponent();
  }
  closeRestoreHooks();
  vssapi_writer = nullptr;
  return hRC_OK;
}
