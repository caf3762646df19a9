#include "vssapi.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"
#include "../tree/vssfs_element.h"
#include "vss_call_status.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// first + "\\" + second, or second alone when first is empty.
WCHAR* wide_join(const WCHAR* first, const WCHAR* second) {
  first = printable(first);
  second = printable(second);
  size_t a = wcslen(first), b = wcslen(second);
  WCHAR* joined = static_cast<WCHAR*>(HALLOC((a + b + 2) * sizeof(WCHAR)));
  if (a) {
    memcpy(joined, first, a * sizeof(WCHAR));
    joined[a++] = L'\\';
  }
  memcpy(joined + a, second, b * sizeof(WCHAR));
  return joined;
}

bool wide_equal(const WCHAR* a, const WCHAR* b) { return wcscmp(printable(a), printable(b)) == 0; }

// Characters that cannot stand in a file name, and spaces, become '_'.
void make_file_name_safe(char* name) {
  for (char* p = name; *p; ++p) {
    if (*p == ' ' || strchr("\\/:*?\"<>|", *p)) *p = '_';
  }
}

typedef HRESULT (STDMETHODCALLTYPE IVssWMComponent::*descriptor_fetch_t)(UINT, IVssWMFiledesc**);

struct descriptor_kind_t {
  descriptor_fetch_t fetch;
  const char* failure_text;
  const char* debug_format;
};

const descriptor_kind_t descriptor_kinds[vssapi_component_t::kDescriptorKinds] = {
    {&IVssWMComponent::GetFile, "GetFile", " GetFile hr = %08x, index = %d, file_desc = %p\n"},
    {&IVssWMComponent::GetDatabaseFile, "GetDatabaseFile", " GetDatabaseFile hr = %08x, index = %d, file_desc = %p\n"},
    {&IVssWMComponent::GetDatabaseLogFile, "GetDatabaseLog",
     " GetDatabaseLogFile hr = %08x, index = %d, file_desc = %p\n"},
};

// A dependency chain longer than this is a cycle: every writer's components together stay far below.
const int kMaxDependencyDepth = 1000;

}  // namespace

// ---- dependency ----

vssapi_dependency_t::vssapi_dependency_t(::hpContext* ctx, IVssWMDependency* dependency) {
  hpContext = ctx;
  TRACE_FUNCTION(hpContext);
  dependency->GetWriterId(&writer_class_id);
  dependency->GetLogicalPath(&component_path_verbatim);
  component_path = HWCSDUP(printable(component_path_verbatim));
  dependency->GetComponentName(&component_name);
}

vssapi_dependency_t::~vssapi_dependency_t() {
  TRACE_FUNCTION(hpContext);
  SysFreeString(component_path_verbatim);
  HFREE(component_path);
  SysFreeString(component_name);
}

// ---- component ----

vssapi_component_t::vssapi_component_t(::hpContext* ctx) {
  hpContext = ctx;
  TRACE_FUNCTION(hpContext);
  restore_status = VSS_RS_UNDEFINED;
}

vssapi_component_t::~vssapi_component_t() {
  TRACE_FUNCTION(hpContext);
  while (dependency_head) {
    vssapi_dependency_t* next_dependency = dependency_head->next;
    delete dependency_head;
    dependency_head = next_dependency;
  }
  HFREE(component_path);
  HFREE(component_path_verbatim);
  HFREE(component_name);
  HFREE(component_caption);
  HFREE(component_full_name);
  HFREE(harbek_full_name);
  if (component_info && wm_component) wm_component->FreeComponentInfo(component_info);
  component_info = nullptr;
  if (wm_component) wm_component->Release();
  wm_component = nullptr;
  if (component) component->Release();
  component = nullptr;
}

hRC vssapi_component_t::preComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "preComponentRestore %ls\n", printable(component_name));
  return hRC_OK;
}

hRC vssapi_component_t::postComponentRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postComponentRestore %ls\n", printable(component_name));
  return hRC_OK;
}

hRC vssapi_component_t::preFileRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "preFileRestore %ls\n", printable(component_name));
  return hRC_OK;
}

hRC vssapi_component_t::postFileRestore(vssfs_component_t*) {
  Dmsg(hpContext, 50, "postFileRestore %ls\n", printable(component_name));
  return hRC_OK;
}

bool vssapi_component_t::alwaysFull() { return true; }

PVSSCOMPONENTINFO vssapi_component_t::info() {
  if (!component_info && wm_component) {
    PVSSCOMPONENTINFO fetched = nullptr;
    HRESULT hr = wm_component->GetComponentInfo(&fetched);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetComponentInfo");
      fetched = nullptr;
    }
    component_info = fetched;
  }
  return component_info;
}

UINT vssapi_component_t::descriptorCount(int kind) {
  PVSSCOMPONENTINFO component_info = info();
  if (!component_info || !wm_component) return 0;
  switch (kind) {
    case 0:
      return component_info->cFileCount;
    case 1:
      return component_info->cDatabases;
    case 2:
      return component_info->cLogFiles;
    default:
      return 0;
  }
}

IVssWMFiledesc* vssapi_component_t::getDescriptor(int kind, UINT index, int debug_level) {
  IVssWMFiledesc* file_desc = nullptr;
  HRESULT hr = (wm_component->*descriptor_kinds[kind].fetch)(index, &file_desc);
  Dmsg(hpContext, debug_level, descriptor_kinds[kind].debug_format, static_cast<unsigned>(hr), static_cast<int>(index),
       static_cast<void*>(file_desc));
  if (FAILED(hr) || !file_desc) {
    JmsgWriterCallStatus(hpContext, FAILED(hr) ? hr : E_UNEXPECTED, descriptor_kinds[kind].failure_text);
    return nullptr;
  }
  return file_desc;
}

hRC vssapi_component_t::initBackup(IVssWMComponent* wm) {
  TRACE_FUNCTION(hpContext);
  wm_component = wm;
  PVSSCOMPONENTINFO fetched = nullptr;
  HRESULT hr = wm_component->GetComponentInfo(&fetched);
  if (FAILED(hr) || !fetched) {
    JmsgWriterCallStatus(hpContext, hr, "GetComponentsInfo");
    // Without information the record keeps empty names and is never taken by an element.
    component_name = HWCSDUP(L"");
    component_caption = HWCSDUP(L"");
    component_path = HWCSDUP(L"");
    component_full_name = HWCSDUP(L"");
    return hRC_OK;
  }
  component_info = fetched;
  component_name = HWCSDUP(printable(fetched->bstrComponentName));
  if (fetched->bstrLogicalPath) component_path_verbatim = HWCSDUP(fetched->bstrLogicalPath);
  component_path = HWCSDUP(printable(fetched->bstrLogicalPath));
  const WCHAR* caption = fetched->bstrCaption;
  bool use_caption = caption && caption[0] && wcslen(caption) < wcslen(component_name);
  component_caption = HWCSDUP(use_caption ? caption : component_name);
  component_full_name = wide_join(component_path, component_name);
  component_type = fetched->type;

  vssapi_dependency_t** tail = &dependency_head;
  for (UINT i = 0; i < fetched->cDependencies; ++i) {
    IVssWMDependency* dependency = nullptr;
    hr = wm_component->GetDependency(i, &dependency);
    if (FAILED(hr) || !dependency) {
      JmsgWriterCallStatus(hpContext, hr, "GetDependency");
      continue;
    }
    *tail = HNEW vssapi_dependency_t(hpContext, dependency);
    tail = &(*tail)->next;
    dependency->Release();
  }
  Dmsg(hpContext, 50, "Set ComponentName = %ls\n", component_name);
  Dmsg(hpContext, 50, "Set ComponentCaption = %ls\n", component_caption);
  return hRC_OK;
}

hRC vssapi_component_t::initRestore(IVssComponent* entry, IVssExamineWriterMetadata*) {
  TRACE_FUNCTION(hpContext);
  component = entry;
  component->GetComponentType(&component_type);
  Dmsg(hpContext, 50, "ComponentType = %d\n", component_type);
  return hRC_OK;
}

void vssapi_component_t::setOwner(vssfs_element_t* new_owner) {
  TRACE_FUNCTION(hpContext);
  setOwner(new_owner, 0);
}

void vssapi_component_t::setOwner(vssfs_element_t* new_owner, int depth) {
  component_active = true;
  owner = new_owner;
  if (vssapi_writer) vssapi_writer->writer_active = true;
  for (vssapi_dependency_t* dependency = dependency_head; dependency; dependency = dependency->next) {
    vssapi_component_t* target = dependency->dependent_component;
    if (!target) {
      Jmsg(hpContext, JMSG_WARNING, "Component \"%ls\" depends on \"%ls\\%ls\", which no writer has.\n",
           component_full_name, dependency->component_path, printable(dependency->component_name));
      continue;
    }
    // A cycle ends at a component this element already owns.
    if (target->owner == new_owner && target->component_active) continue;
    if (depth >= kMaxDependencyDepth) {
      Jmsg(hpContext, JMSG_WARNING, "Dependencies of component \"%ls\" are too deep; \"%ls\" left out.\n",
           component_full_name, target->component_full_name);
      continue;
    }
    target->setOwner(new_owner, depth + 1);
  }
}

// ---- writer ----

vssapi_writer_t::vssapi_writer_t(::hpContext* ctx, IVssBackupComponents* components,
                                 IVssExamineWriterMetadata* metadata_object) {
  hpContext = ctx;
  TRACE_FUNCTION(hpContext);
  vss_components = components;
  metadata = metadata_object;
  component_head = nullptr;
  writer_active = false;
  writer_name = nullptr;
  writer_ext = nullptr;
}

vssapi_writer_t::~vssapi_writer_t() {
  TRACE_FUNCTION(hpContext);
  while (component_head) {
    vssapi_component_t* next_component = component_head->next;
    delete component_head;
    component_head = next_component;
  }
  HFREE(ascii_writer_name);
  SysFreeString(writer_name);
  SysFreeString(service_name);
  SysFreeString(user_procedure);
  if (metadata) metadata->Release();
  if (writer_ext) ReleaseWriterComponents(writer_ext);
}

vssapi_component_t* vssapi_writer_t::newComponent(::hpContext* ctx, WCHAR* name) {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "newComponent %ls\n", printable(name));
  return HNEW vssapi_component_t(ctx);
}

vssapi_component_t* vssapi_writer_t::newComponent(::hpContext* ctx, const VSS_COMPONENTINFO* info) {
  return newComponent(ctx, info->bstrComponentName);
}

hRC vssapi_writer_t::preJobRestore(vssfs_t*) { return hRC_OK; }
hRC vssapi_writer_t::preWriterRestore(vssfs_writer_t*) { return hRC_OK; }
hRC vssapi_writer_t::preElementRestore(vssfs_element_t*) { return hRC_OK; }
hRC vssapi_writer_t::postElementRestore(vssfs_element_t*) { return hRC_OK; }
hRC vssapi_writer_t::postWriterRestore(vssfs_writer_t*) { return hRC_OK; }
hRC vssapi_writer_t::postJobRestore(vssfs_t*) { return hRC_OK; }
bool vssapi_writer_t::componentLeftOut(const WCHAR*) { return false; }

hRC vssapi_writer_t::init() {
  TRACE_FUNCTION(hpContext);
  HRESULT hr = metadata->GetIdentity(&writer_instance_id, &writer_class_id, &writer_name, &writer_usage,
                                     &writer_source);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetIdentity");
    return hRC_Error;
  }
  Dmsg(hpContext, 50, "GetIdentity hr=%08x, writer_name=%ls, usage=%x, source=%x\n", static_cast<unsigned>(hr),
       printable(writer_name), writer_usage, writer_source);

  ascii_writer_name = writer_name ? NARROW_FROM_WIDE(writer_name) : HSTRDUP("");
  if (!ascii_writer_name) {
    const GUID& id = writer_class_id;
    Jmsg(hpContext, JMSG_WARNING,
         "Writer {%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x} left out: its name cannot be written in "
         "this system's code page.\n",
         id.Data1, id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4],
         id.Data4[5], id.Data4[6], id.Data4[7]);
    return hRC_Error;
  }
  make_file_name_safe(ascii_writer_name);

  hr = metadata->GetBackupSchema(&schema_mask);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetBackupSchema");
    schema_mask = 0;
  }
  Dmsg(hpContext, 50, "GetBackupSchema hr=%08x, schema_mask=%08x\n", static_cast<unsigned>(hr),
       static_cast<unsigned>(schema_mask));

  UINT include_count = 0, exclude_count = 0, component_count = 0;
  hr = metadata->GetFileCounts(&include_count, &exclude_count, &component_count);
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetFileCounts");
    component_count = 0;
  }
  vssapi_component_t** tail = &component_head;
  for (UINT i = 0; i < component_count; ++i) {
    IVssWMComponent* wm = nullptr;
    hr = metadata->GetComponent(i, &wm);
    if (FAILED(hr) || !wm) {
      JmsgWriterCallStatus(hpContext, hr, "GetComponent");
      continue;
    }
    Dmsg(hpContext, 50, "GetComponent hr = %08x\n", static_cast<unsigned>(hr));
    PVSSCOMPONENTINFO first_info = nullptr;
    hr = wm->GetComponentInfo(&first_info);
    if (FAILED(hr) || !first_info) {
      JmsgWriterCallStatus(hpContext, hr, "GetComponentInfo");
      wm->Release();
      continue;
    }
    Dmsg(hpContext, 50, "GetComponentInfo hr = %08x\n", static_cast<unsigned>(hr));
    vssapi_component_t* record = newComponent(hpContext, first_info);
    wm->FreeComponentInfo(first_info);
    if (!record) {
      wm->Release();
      continue;
    }
    *tail = record;
    tail = &record->next;
    record->vssapi_writer = this;
    record->initBackup(wm);
  }
  resolvePathing();
  return hRC_OK;
}

hRC vssapi_writer_t::initBackup() {
  TRACE_FUNCTION(hpContext);
  return init();
}

hRC vssapi_writer_t::initRestore(IVssWriterComponentsExt* ext) {
  TRACE_FUNCTION(hpContext);
  hRC result = init();
  writer_ext = ext;
  return result;
}

void vssapi_writer_t::resolvePathing() {
  TRACE_FUNCTION(hpContext);
  Dmsg(hpContext, 50, "resolvePathing %ls\n", printable(writer_name));
  for (vssapi_component_t* c1 = component_head; c1; c1 = c1->next) {
    for (vssapi_component_t* c2 = component_head; c2; c2 = c2->next) {
      Dmsg(hpContext, 50, " checking %ls vs %ls\n", c1->component_path, c2->component_full_name);
      if (wide_equal(c2->component_full_name, c1->component_path)) {
        c1->path_parent = c2;
        Dmsg(hpContext, 50, " %ls is a child of %ls\n", c1->component_full_name, c2->component_full_name);
        break;
      }
    }
    if (!c1->path_parent) {
      Dmsg(hpContext, 50, " %ls is an orphan\n", c1->component_full_name);
      WCHAR* wide = wide_join(c1->component_path, c1->component_caption);
      // A caption the code page lacks shows as '?': the path only has to be stable, restore
      // finds the component by the names in its information file.
      c1->harbek_full_name = NARROW_FOR_MESSAGE(wide);
      HFREE(wide);
    }
  }
  for (bool progress = true; progress;) {
    progress = false;
    for (vssapi_component_t* c = component_head; c; c = c->next) {
      if (c->harbek_full_name) continue;
      Dmsg(hpContext, 50, "checking %ls\n", c->component_full_name);
      if (c->path_parent && c->path_parent->harbek_full_name) {
        char* caption = NARROW_FOR_MESSAGE(c->component_caption);
        const char* parent_name = c->path_parent->harbek_full_name;
        char* name = static_cast<char*>(HALLOC(strlen(parent_name) + strlen(caption) + 2));
        sprintf(name, "%s\\%s", parent_name, caption);
        HFREE(caption);
        c->harbek_full_name = name;
        progress = true;
        Dmsg(hpContext, 50, "resolved %ls to %s\n", c->component_full_name, name);
      } else {
        Dmsg(hpContext, 50, "not yet resolved\n");
      }
    }
  }
}

void vssapi_writer_t::setOwner(vssfs_element_t* element) {
  TRACE_FUNCTION(hpContext);
  for (vssapi_component_t* c = component_head; c; c = c->next) {
    PVSSCOMPONENTINFO component_info = c->info();
    if (!component_info) continue;
    bool takes = true;
    if (element->selection_string) {
      char* name = NARROW_FROM_WIDE(component_info->bstrComponentName);
      bool named = false;
      const char* entry = element->selection_string;
      while (name && !named) {
        const char* bar = strchr(entry, '|');
        size_t len = bar ? static_cast<size_t>(bar - entry) : strlen(entry);
        named = strlen(name) == len && strncmp(entry, name, len) == 0;
        if (!bar) break;
        entry = bar + 1;
      }
      HFREE(name);
      takes = named == element->selection_include;
    }
    if (takes && !c->owner) c->setOwner(element);
  }
}

bool vssapi_writer_t::ownsComponentsOf(vssfs_element_t* element) {
  for (vssapi_component_t* c = component_head; c; c = c->next) {
    if (c->owner == element) return true;
  }
  return false;
}

UINT vssapi_writer_t::componentCount(IVssWriterComponentsExt* ext) {
  UINT count = 0;
  HRESULT hr = ext ? ext->GetComponentCount(&count) : E_POINTER;
  if (FAILED(hr)) {
    JmsgWriterCallStatus(hpContext, hr, "GetComponentCount");
    count = 0;
  }
  Dmsg(hpContext, 50, "GetComponentCount hr = %08x, component_count = %d\n", static_cast<unsigned>(hr),
       static_cast<int>(count));
  return count;
}

hRC vssapi_writer_t::setVssComponents(IVssWriterComponentsExt* ext) {
  TRACE_FUNCTION(hpContext);
  UINT count = componentCount(ext);
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    IVssComponent* entry = nullptr;
    hr = ext->GetComponent(i, &entry);
    Dmsg(hpContext, 50, "GetComponent hr = %08x\n", static_cast<unsigned>(hr));
    if (FAILED(hr) || !entry) {
      JmsgWriterCallStatus(hpContext, hr, "GetComponent");
      continue;
    }
    BSTR name = nullptr, path = nullptr;
    hr = entry->GetComponentName(&name);
    if (FAILED(hr)) {
      JmsgWriterCallStatus(hpContext, hr, "GetComponentName");
      name = nullptr;
    }
    Dmsg(hpContext, 50, "GetComponentName hr = %08x component_name = %ls\n", static_cast<unsigned>(hr),
         printable(name));
    hr = entry->GetLogicalPath(&path);
    if (FAILED(hr)) path = nullptr;
    Dmsg(hpContext, 50, "GetLogicalPath hr = %08x component_path = %ls\n", static_cast<unsigned>(hr),
         printable(path));
    vssapi_component_t* found = nullptr;
    for (vssapi_component_t* c = component_head; c && name; c = c->next) {
      if (wide_equal(c->component_path, path) && wide_equal(c->component_name, name)) {
        found = c;
        break;
      }
    }
    if (found) {
      if (found->component) found->component->Release();
      found->component = entry;
    } else {
      Jmsg(hpContext, JMSG_ERROR, "Cannot find component for path=%ls name=%ls.\n", printable(path),
           printable(name));
      Dmsg(hpContext, 50, "Cannot find component for path=%ls name=%ls.\n", printable(path), printable(name));
      entry->Release();
    }
    SysFreeString(name);
    SysFreeString(path);
  }
  return hRC_OK;
}
