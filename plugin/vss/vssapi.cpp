#include "vssapi.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../frame/vssfs.h"
#include "vss_call_status.h"
#include "vss_utility.h"

#include <cstring>
#include <cwchar>

const vssapi_handlers_t vssapi_handlers[] = {
    {{0xe8132975, 0x6f93, 0x4464, {0xa5, 0x3e, 0x10, 0x50, 0x25, 0x3a, 0xe2, 0x20}}, vssapi_writer_system_factory},
    {{0xafbab4a2, 0x367d, 0x4d15, {0xa5, 0x86, 0x71, 0xdb, 0xb1, 0x8f, 0x84, 0x85}}, vssapi_writer_registry_factory},
    {{0x542da469, 0xd3e1, 0x473c, {0x9f, 0x4f, 0x78, 0x47, 0xf0, 0x1f, 0xc6, 0x4f}},
     vssapi_writer_complusregdb_factory},
    {{0xd76f5a28, 0x3092, 0x4589, {0xba, 0x48, 0x29, 0x58, 0xfb, 0x88, 0xce, 0x29}}, vssapi_writer_frs_factory},
    {{0x2707761b, 0x2324, 0x473d, {0x88, 0xeb, 0xeb, 0x00, 0x7a, 0x35, 0x95, 0x33}}, vssapi_writer_dfsr_factory},
    {{0xc2f52614, 0x5e53, 0x4858, {0xa5, 0x89, 0x38, 0xee, 0xb2, 0x5c, 0x61, 0x84}},
     vssapi_writer_sharepoint_factory},
    {{0x76fe1ac4, 0x15f7, 0x4bcd, {0x98, 0x7e, 0x8e, 0x1a, 0xcb, 0x46, 0x2f, 0xb7}}, vssapi_writer_exchange_factory},
    {{0xa65faa63, 0x5ea8, 0x4ebc, {0x9d, 0xbd, 0xa0, 0xc4, 0xdb, 0x26, 0x91, 0x2a}}, vssapi_writer_mssql_factory},
    {{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, nullptr},
};

vssapi_writer_t* vssapi_writer_plain_factory(::hpContext* ctx, IVssBackupComponents* components,
                                             IVssExamineWriterMetadata* metadata) {
  return HNEW vssapi_writer_t(ctx, components, metadata);
}

namespace {

const char* const writer_state_texts[] = {
    "The writer's state is not known.",
    nullptr,  // stable
    "The writer is waiting for the freeze state.",
    "The writer is waiting for the thaw state.",
    "The writer is waiting for the PostSnapshot state.",
    nullptr,  // waiting for backup complete
    "The writer vetoed the shadow copy creation process at the writer identification state.",
    "The writer vetoed the shadow copy creation process during the backup preparation state.",
    "The writer vetoed the shadow copy creation process during the PrepareForSnapshot state.",
    "The writer vetoed the shadow copy creation process during the freeze state.",
    "The writer vetoed the shadow copy creation process during the thaw state.",
    "The writer vetoed the shadow copy creation process during the PostSnapshot state.",
    "The shadow copy has been created and the writer failed during the BackupComplete state.",
    "The writer failed during the PreRestore state.",
    "The writer failed during the PostRestore state.",
    "The writer failed during the shutdown of the backup application.",
};

const int kStampTries = 10;
const DWORD kFirstStampBuffer = 128;

}  // namespace

bool writerStateFailed(VSS_WRITER_STATE state) {
  // The vetoes during the snapshot's making: the writer never froze its data consistently.
  return state >= VSS_WS_FAILED_AT_IDENTIFY && state <= VSS_WS_FAILED_AT_POST_SNAPSHOT;
}

void JmsgWriterState(::hpContext* ctx, vssapi_writer_t* writer) {
  int state = writer->writer_state;
  if (state == VSS_WS_STABLE || state == VSS_WS_WAITING_FOR_BACKUP_COMPLETE) return;
  const char* text = state > 0 && state <= 15 ? writer_state_texts[state] : writer_state_texts[0];
  Jmsg(ctx, JMSG_WARNING, "Writer \"%ls\" has invalid state. ERR=%s\n", printable(writer->writer_name), text);
}

char* makeStampFilename(char* working_dir, vssapi_writer_t* writer, vssapi_component_t* component, bool full) {
  char* name = makeBackupStampFilename(working_dir, writer->ascii_writer_name, &writer->writer_class_id,
                                       component->component_path, component->component_name);
  if (!name || !full) return name;
  // The last full backup's stamp lives beside the last backup's.
  char* full_name = static_cast<char*>(HALLOC(strlen(name) + 6));
  strcpy(full_name, name);
  strcat(full_name, ".full");
  HFREE(name);
  return full_name;
}

WCHAR* readStampFile(::hpContext* ctx, const char* filename) {
  HANDLE file = CreateFileA(filename, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Dmsg(ctx, 50, "CreateFileA %d\n", file == INVALID_HANDLE_VALUE ? -1 : 0);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  WCHAR* stamp = nullptr;
  DWORD size = kFirstStampBuffer;
  for (int attempt = 0; attempt < kStampTries && !stamp; ++attempt, size *= 2) {
    char* buffer = static_cast<char*>(HALLOC(size + sizeof(WCHAR)));
    DWORD done = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    if (!ReadFile(file, buffer, size, &done, nullptr)) {
      // A stamp file that cannot be read holds no stamp: the writer then backs up in full.
      HFREE(buffer);
      break;
    }
    WCHAR* units = reinterpret_cast<WCHAR*>(buffer);
    for (DWORD i = 0; i < done / 2; ++i) {
      if (units[i] == L'\n') {
        units[i] = L'\0';
        stamp = units;
        break;
      }
    }
    if (!stamp) HFREE(buffer);
  }
  CloseHandle(file);
  if (!stamp) Dmsg(ctx, 50, "No valid stamp file found\n");
  return stamp;
}

vssapi_t::vssapi_t(::hpContext* ctx, IVssBackupComponents* components) {
  hpContext = ctx;
  writer_head = nullptr;
  vss_components = components;
  last_job = true;
}

vssapi_t::~vssapi_t() {
  while (writer_head) {
    vssapi_writer_t* next = writer_head->next;
    delete writer_head;
    writer_head = next;
  }
}

vssapi_writer_t* vssapi_t::newWriter(IVssExamineWriterMetadata* metadata) {
  TRACE_FUNCTION(hpContext);
  VSS_ID instance_id, class_id;
  BSTR name = nullptr;
  VSS_USAGE_TYPE usage;
  VSS_SOURCE_TYPE source;
  HRESULT hr = metadata->GetIdentity(&instance_id, &class_id, &name, &usage, &source);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetIdentity");
    return nullptr;
  }
  Dmsg(hpContext, 50, "newWriter %ls\n", printable(name));
  SysFreeString(name);
  for (const vssapi_handlers_t* row = vssapi_handlers; row->handler_factory; ++row) {
    if (memcmp(&row->writer_class_id, &class_id, sizeof(VSS_ID)) == 0)
      return row->handler_factory(hpContext, vss_components, metadata);
  }
  return vssapi_writer_plain_factory(hpContext, vss_components, metadata);
}

void vssapi_t::appendWriter(vssapi_writer_t* writer) {
  vssapi_writer_t** tail = &writer_head;
  while (*tail) tail = &(*tail)->next;
  *tail = writer;
}

hRC vssapi_t::initBackup() {
  TRACE_FUNCTION(hpContext);
  UINT count = 0;
  HRESULT hr = vss_components->GetWriterMetadataCount(&count);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetWriterMetadataCount");
    count = 0;
  }
  Dmsg(hpContext, 50, "GetWriterMetadataCount hr = %08x, count = %d\n", static_cast<unsigned>(hr),
       static_cast<int>(count));
  for (UINT i = 0; i < count; ++i) {
    VSS_ID instance_id;
    IVssExamineWriterMetadata* metadata = nullptr;
    hr = vss_components->GetWriterMetadata(i, &instance_id, &metadata);
    if (FAILED(hr) || !metadata) {
      JmsgWriterCallStatus(hpContext, hr, "GetWriterMetadata");
      continue;
    }
    Dmsg(hpContext, 50, "GetWriterMetadata hr = %08x, index = %d, metadata = %p\n", static_cast<unsigned>(hr),
         static_cast<int>(i), static_cast<void*>(metadata));
    vssapi_writer_t* writer = newWriter(metadata);
    if (!writer) {
      metadata->Release();
      continue;
    }
    if (writer->initBackup() != hRC_OK) {
      delete writer;  // releases the metadata
      continue;
    }
    appendWriter(writer);
  }
  resolveDependencies();
  return hRC_OK;
}

void vssapi_t::resolveDependencies() {
  TRACE_FUNCTION(hpContext);
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) {
    for (vssapi_component_t* c = writer->component_head; c; c = c->next) {
      for (vssapi_dependency_t* d = c->dependency_head; d; d = d->next) {
        vssapi_writer_t* target = writer_head;
        while (target && memcmp(&target->writer_class_id, &d->writer_class_id, sizeof(VSS_ID)) != 0)
          target = target->next;
        if (!target) continue;
        for (vssapi_component_t* t = target->component_head; t; t = t->next) {
          if (wcscmp(t->component_name, printable(d->component_name)) == 0 &&
              wcscmp(t->component_path, d->component_path) == 0) {
            d->dependent_component = t;
            break;
          }
        }
      }
    }
  }
}

void vssapi_t::addComponents(vssfs_t* vssfs) {
  TRACE_FUNCTION(hpContext);
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) {
    bool active = false;
    for (vssapi_component_t* c = writer->component_head; c; c = c->next) {
      if (!c->component_active) continue;
      PVSSCOMPONENTINFO component_info = c->info();
      if (!component_info) continue;
      if (component_info->bSelectable || !c->path_parent) {
        HRESULT hr = vss_components->AddComponent(writer->writer_instance_id, writer->writer_class_id,
                                                  c->component_type, c->component_path_verbatim, c->component_name);
        if (FAILED(hr)) JmsgWriterCallStatus(hpContext, hr, "AddComponent");
        Dmsg(hpContext, 50, " AddComponent(%ls, %ls) = %08x\n", printable(c->component_path_verbatim),
             c->component_name, static_cast<unsigned>(hr));
        applyPreviousStamp(vssfs, writer, c);
      }
      active = true;
      excludeComponentFiles(vssfs, c);
    }
    if (!active) continue;
    UINT include_count = 0, exclude_count = 0, component_count = 0;
    HRESULT hr = writer->metadata->GetFileCounts(&include_count, &exclude_count, &component_count);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetFileCounts");
      exclude_count = 0;
    }
    Dmsg(hpContext, 50,
         "GetFileCounts hr = %08x, include_files_count = %d, exclude_files_count = %d, components_count = %d\n",
         static_cast<unsigned>(hr), static_cast<int>(include_count), static_cast<int>(exclude_count),
         static_cast<int>(component_count));
    for (UINT i = 0; i < exclude_count; ++i) {
      IVssWMFiledesc* file_desc = nullptr;
      hr = writer->metadata->GetExcludeFile(i, &file_desc);
      if (FAILED(hr) || !file_desc) {
        JmsgWriterCallStatus(hpContext, hr, "GetExcludeFile");
        continue;
      }
      addFileSpecExclude(vssfs, file_desc);
      file_desc->Release();
    }
  }
}

void vssapi_t::excludeComponentFiles(vssfs_t* vssfs, vssapi_component_t* component) {
  PVSSCOMPONENTINFO component_info = component->component_info;
  Dmsg(hpContext, 50, " cFileCount = %d\n", static_cast<int>(component_info->cFileCount));
  Dmsg(hpContext, 50, " cDatabases = %d\n", static_cast<int>(component_info->cDatabases));
  Dmsg(hpContext, 50, " cLogFiles = %d\n", static_cast<int>(component_info->cLogFiles));
  for (int kind = 0; kind < vssapi_component_t::kDescriptorKinds; ++kind) {
    UINT count = component->descriptorCount(kind);
    for (UINT i = 0; i < count && !vssfs->job_canceled; ++i) {
      IVssWMFiledesc* file_desc = component->getDescriptor(kind, i, kind == 0 ? 150 : 50);
      if (!file_desc) continue;
      addFileSpecExclude(vssfs, file_desc);
      file_desc->Release();
    }
  }
}

// A differential takes the stamp of the last full backup, an incremental that of the last backup;
// a full backup takes none.
void vssapi_t::applyPreviousStamp(vssfs_t* vssfs, vssapi_writer_t* writer, vssapi_component_t* component) {
  bool differential = vssfs->job_level == 'D';
  if (vssfs->job_level != 'I' && !differential) return;
  char* working_dir = vssfs->workingDirectory();
  if (!working_dir) return;
  char* filename = makeStampFilename(working_dir, writer, component, differential);
  if (!filename) return;
  Dmsg(hpContext, 50, "stamp_filename = %s\n", filename);
  WCHAR* stamp = readStampFile(hpContext, filename);
  HFREE(filename);
  if (!stamp) return;
  HRESULT hr = vss_components->SetPreviousBackupStamp(writer->writer_class_id, component->component_type,
                                                      component->component_path_verbatim,
                                                      component->component_name, stamp);
  Dmsg(hpContext, 50, "SetPreviousBackupStamp(%ls, %ls, %ls) = %08x\n", printable(component->component_path_verbatim),
       component->component_name, stamp, static_cast<unsigned>(hr));
  HFREE(stamp);
}

void vssapi_t::addFileSpecExclude(vssfs_t* vssfs, IVssWMFiledesc* file_desc) {
  TRACE_FUNCTION(hpContext);
  BSTR path = nullptr, filespec = nullptr;
  if (FAILED(file_desc->GetPath(&path))) path = nullptr;
  if (!path) return;
  if (FAILED(file_desc->GetFilespec(&filespec))) filespec = nullptr;
  if (!filespec) {
    SysFreeString(path);
    return;
  }
  char* narrow_path = NARROW_FROM_WIDE(path);
  char* narrow_spec = NARROW_FROM_WIDE(filespec);
  if (!narrow_path || !narrow_spec) {
    Jmsg(hpContext, JMSG_WARNING, "Cannot exclude \"%ls\\%ls\": the name cannot be written in this system's code page.\n",
         path, filespec);
  } else {
    size_t len = strlen(narrow_path);
    char* text = static_cast<char*>(HALLOC(len + strlen(narrow_spec) + 2));
    strcpy(text, narrow_path);
    if (len && text[len - 1] != '\\') strcat(text, "\\");
    strcat(text, narrow_spec);
    boolean recursive = false;
    if (FAILED(file_desc->GetRecursive(&recursive)) || recursive)
      vssfs->addFilespecExclude(text, true, ' ');
    else
      vssfs->addFilespecExclude(text, false, 'F');
    HFREE(text);
  }
  HFREE(narrow_path);
  HFREE(narrow_spec);
  SysFreeString(path);
  SysFreeString(filespec);
}

hRC vssapi_t::setWriterStatuses() {
  TRACE_FUNCTION(hpContext);
  UINT count = 0;
  HRESULT hr = vss_components->GetWriterStatusCount(&count);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetWriterStatusCount");
    count = 0;
  }
  Dmsg(hpContext, 50, "GetWriterStatusCount hr=%08x, count=%d\n", static_cast<unsigned>(hr), static_cast<int>(count));
  for (UINT i = 0; i < count; ++i) {
    VSS_ID instance_id, class_id;
    BSTR name = nullptr;
    VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
    HRESULT failure = S_OK;
    hr = vss_components->GetWriterStatus(i, &instance_id, &class_id, &name, &state, &failure);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetWriterStatus");
      continue;
    }
    Dmsg(hpContext, 50, "GetWriterStatus hr=%08x, writer=%ls, state=%d, writer_hr=%08x\n", 0u, printable(name),
         state, static_cast<unsigned>(failure));
    SysFreeString(name);
    if (vssapi_writer_t* writer = findWriter(instance_id)) {
      writer->writer_state = state;
      writer->writer_hr = failure;
      JmsgWriterState(hpContext, writer);
    }
  }
  return hRC_OK;
}

UINT vssapi_t::writerComponentsCount() {
  UINT count = 0;
  HRESULT hr = vss_components->GetWriterComponentsCount(&count);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetWriterComponentsCount");
    count = 0;
  }
  Dmsg(hpContext, 50, "GetWriterComponentsCount hr=%08x, count=%d\n", static_cast<unsigned>(hr),
       static_cast<int>(count));
  return count;
}

vssapi_writer_t* vssapi_t::findWriter(const VSS_ID& instance_id) {
  for (vssapi_writer_t* writer = writer_head; writer; writer = writer->next) {
    if (memcmp(&writer->writer_instance_id, &instance_id, sizeof(VSS_ID)) == 0) return writer;
  }
  return nullptr;
}

hRC vssapi_t::setVssComponents() {
  TRACE_FUNCTION(hpContext);
  UINT count = writerComponentsCount();
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    IVssWriterComponentsExt* ext = nullptr;
    hr = vss_components->GetWriterComponents(i, &ext);
    if (FAILED(hr) || !ext) {
      JmsgWriterCallStatus(hpContext, hr, "GetWritercomponents");
      continue;
    }
    VSS_ID instance_id, class_id;
    hr = ext->GetWriterInfo(&instance_id, &class_id);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetWriterInfo");
    } else if (vssapi_writer_t* writer = findWriter(instance_id)) {
      writer->setVssComponents(ext);
    }
    ReleaseWriterComponents(ext);
  }
  return hRC_OK;
}
