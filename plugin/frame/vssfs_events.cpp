// The instance's reaction to the job's events and to its plug-in commands.
#include "vssfs.h"

#include "host_alloc.h"
#include "host_messages.h"
#include "split_string.h"
#include "text_convert.h"
#include "../tree/vssfs_element.h"
#include "../vss/vssapi.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// The next ':'-separated field of a plug-in command, a host block; null at the end. Runs of ':'
// are one separator, so no field is empty.
char* next_field(const char** text) {
  const char* p = *text;
  while (*p == ':') ++p;
  if (!*p) {
    *text = p;
    return nullptr;
  }
  const char* end = strchr(p, ':');
  size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
  char* field = static_cast<char*>(HALLOC(len + 1));
  memcpy(field, p, len);
  *text = p + len;
  return field;
}

// The element name of a command path "/<name>/", a host block; null when the path is too short.
char* element_name(const char* path) {
  size_t len = path ? strlen(path) : 0;
  if (len < 3) return nullptr;
  char* name = static_cast<char*>(HALLOC(len - 1));
  memcpy(name, path + 1, len - 2);
  return name;
}

}  // namespace

hRC vssfs_t::handlePluginEvent(hEvent* event, void* value) {
  TRACE_FUNCTION(hpContext);
  intptr_t number = reinterpret_cast<intptr_t>(value);
  switch (event->eventType) {
    case hEventJobStart:
      Dmsg(hpContext, 50, "JobStart=%s\n", printable(static_cast<char*>(value)));
      job_since = 0;
      plugin_active = false;
      job_canceled = false;
      return hRC_OK;
    case hEventJobEnd:
      Dmsg(hpContext, 50, "JobEnd\n");
      return hRC_OK;
    case hEventPluginCommand:
      return pluginCommand(static_cast<char*>(value));
    case hEventStartRestoreJob:
    case hEventEndRestoreJob:
    case hEventRestoreCommand:
    case hEventRestoreObject:
    case hEventVssBeforeCloseRestore:
      return hRC_OK;
    case hEventStartBackupJob:
    case hEventEndBackupJob:
    case hEventBackupCommand:
    case hEventLevel:
    case hEventSince:
    case hEventCancelCommand:
    case hEventVssBackupAddComponents:
    case hEventEndFileSet:
      break;
    default:
      Jmsg(hpContext, JMSG_WARNING, "unknown event=%d\n", event->eventType);
      return hRC_OK;
  }
  if (!plugin_active) return hRC_OK;

  switch (event->eventType) {
    case hEventStartBackupJob:
      return startBackupJob();
    case hEventEndBackupJob:
      Dmsg(hpContext, 50, "BackupEnd\n");
      delete vssapi;
      vssapi = nullptr;
      SysFreeString(xml);
      xml = nullptr;
      return hRC_OK;
    case hEventBackupCommand:
      return backupCommand(static_cast<char*>(value));
    case hEventLevel:
      Dmsg(hpContext, 50, "JobLevel=%c %d\n", static_cast<int>(number), static_cast<int>(number));
      job_level = static_cast<int>(number);
      return hRC_OK;
    case hEventSince:
      Dmsg(hpContext, 50, "since=%d\n", static_cast<int>(number));
      job_since = static_cast<time_t>(number);
      return hRC_OK;
    case hEventCancelCommand:
      Dmsg(hpContext, 50, "cancel command\n");
      job_canceled = true;
      return hRC_OK;
    case hEventVssBackupAddComponents:
      return addComponents();
    case hEventEndFileSet:
      Dmsg(hpContext, 50, "EndFileSet\n");
      filesetReceived();
      return hRC_OK;
    default:
      return hRC_OK;
  }
}

hRC vssfs_t::pluginCommand(char* command) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "hEventPluginCommand %s\n", printable(command));
  plugin_active = true;
  freeSplitString(path_bits);
  path_bits = nullptr;
  const char* rest = printable(command);
  char* plugin_name = next_field(&rest);
  char* path = next_field(&rest);
  if (!plugin_name || strcmp(plugin_name, "vss") != 0) plugin_active = false;

  char* name = element_name(path);
  const vssfs_elements_t* row = vssfs_elements;
  while (name && row->name && strcmp(row->name, name) != 0) ++row;
  if (!name || !row->name) {
    Dmsg(hpContext, 50, "Unknown VSS element %s.\n", printable(name ? name : path));
    Jmsg(hpContext, JMSG_FATAL, "Unknown VSS element \"%s\".\n", printable(name ? name : path));
  } else {
    vssfs_element_t* element = row->element_factory(this, name);
    if (element_tail)
      element_tail->next = element;
    else
      element_head = element;
    element_tail = element;
    for (char* option = next_field(&rest); option; option = next_field(&rest)) {
      Dmsg(hpContext, 50, "option %s\n", option);
      if (option[0] == '+' || option[0] == '-') {
        HFREE(element->selection_string);
        element->selection_string = HSTRDUP(option + 1);
        element->selection_include = option[0] == '+';
      }
      HFREE(option);
    }
    ++command_count;
  }
  HFREE(name);
  HFREE(path);
  HFREE(plugin_name);
  return hRC_OK;
}

hRC vssfs_t::startBackupJob() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "BackupStart\n");
  Jmsg(hpContext, JMSG_INFO, "VSS plugin start backup Job.\n");
  unique_id = time(nullptr);
  char buf[50];
  snprintf(buf, sizeof(buf), "%08x", static_cast<unsigned>(unique_id & 0xffffffffu));
  HFREE(unique_id_str);
  unique_id_str = HSTRDUP(buf);
  vss_components_set = false;
  job_type = 1;
  switch (job_level) {
    case 'F':
      type_mask = 0x101;
      break;
    case 'D':
      type_mask = 0x202;
      break;
    case 'I':
      type_mask = 0x404;
      break;
    default:
      Jmsg(hpContext, JMSG_FATAL, "Invalid job level %c\n", job_level);
      Dmsg(hpContext, 50, "Invalid job level %c\n", job_level);
      return hRC_Error;
  }
  return hRC_OK;
}

hRC vssfs_t::addComponents() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "VssBackupAddComponents\n");
  vss_components = nullptr;
  hfuncs->getHarbekValue(hpContext, hVarVssObject, &vss_components);
  if (!vss_components) {
    Jmsg(hpContext, JMSG_FATAL, "The host gave no shadow copy backup components object.\n");
    return hRC_Error;
  }
  delete vssapi;
  vssapi = HNEW vssapi_t(hpContext, vss_components);
  vssapi->initBackup();
  for (vssfs_element_t* element = element_head; element; element = element->next) {
    for (vssapi_writer_t* writer = vssapi->writer_head; writer; writer = writer->next) {
      if (element->queryIncludeWriter(writer->writer_class_id, writer->writer_name, writer->writer_usage,
                                      writer->writer_source))
        writer->setOwner(element);
    }
  }
  vssapi->addComponents(this);
  Dmsg(hpContext, 50, "Components added\n");
  return hRC_OK;
}

hRC vssfs_t::backupCommand(char* command) {
  TRACE_FUNCTION(hpContext);
  const char* rest = printable(command);
  char* plugin_name = next_field(&rest);
  char* path = next_field(&rest);
  current_node = nullptr;
  hRC result = hRC_OK;

  if (!vssapi) {
    Jmsg(hpContext, JMSG_FATAL, "No shadow copy components: the host never asked to add them.\n");
    result = hRC_Error;
  } else if (!vss_components_set) {
    vss_components_set = true;
    vssapi->setWriterStatuses();
    vssapi->setVssComponents();
  }
  Dmsg(hpContext, 50, "backup command=%s\n", printable(command));
  Dmsg(hpContext, 50, "name = %s\n", printable(plugin_name));
  Dmsg(hpContext, 50, "path = %s\n", printable(path));

  char* name = nullptr;
  if (result != hRC_OK) {
  } else if (!path || path[0] != '/') {
    Jmsg(hpContext, JMSG_FATAL, "Path does not begin with a '/'\n");
    result = hRC_Error;
  } else if (!(name = element_name(path))) {
    Jmsg(hpContext, JMSG_FATAL, "Invalid plugin backup path\n");
    result = hRC_Error;
  }
  if (result == hRC_OK && (job_level == 'I' || job_level == 'D')) {
    int accurate = 0;
    hfuncs->getHarbekValue(hpContext, hVarAccurate, &accurate);
    if (!accurate)
      Jmsg(hpContext, JMSG_ERROR, "Accurate mode should be turned on when using the %s plugin\n",
           printable(plugin_name));
  }
  if (result == hRC_OK) {
    freeSplitString(path_bits);
    path_bits = splitString(path, '/', 32, &path_bits_count);
    // Two commands for one element each take their own: the first of that name not yet sent.
    vssfs_element_t* element = element_head;
    while (element && (element->backup_started || strcmp(element->name, name) != 0)) element = element->next;
    if (!element) {
      Jmsg(hpContext, JMSG_WARNING, "Unknown VSS element %s\n", name);
      result = hRC_Error;
    } else {
      element->backup_started = true;
      element->vssapi_writer = vssapi->writer_head;
      current_node = element;
    }
  }
  HFREE(name);
  HFREE(path);
  HFREE(plugin_name);
  return result;
}
