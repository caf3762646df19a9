// The four element kinds: each decides which writers it includes.
#include "vssfs_element.h"

#include "../frame/host_alloc.h"
#include "../frame/host_messages.h"
#include "../frame/text_convert.h"

#include <cstring>
#include <cwchar>

namespace {

const VSS_ID ASR_Writer_id = {0xBE000CBE, 0x11FE, 0x4426, {0x9C, 0x58, 0x53, 0x1A, 0xA6, 0x35, 0x5F, 0xC4}};
const VSS_ID MSDE_Writer_id = {0xF8544AC1, 0x0611, 0x4FA5, {0xB0, 0x4B, 0xF7, 0xEE, 0x00, 0xB0, 0x32, 0x77}};
const VSS_ID FRS_Writer_id = {0xD76F5A28, 0x3092, 0x4589, {0xBA, 0x48, 0x29, 0x58, 0xFB, 0x88, 0xCE, 0x29}};

bool same_id(const VSS_ID& a, const VSS_ID& b) { return memcmp(&a, &b, sizeof(VSS_ID)) == 0; }
bool named(BSTR writer_name, const WCHAR* name) { return wcscmp(printable(writer_name), name) == 0; }

class vssfs_systemstate_t : public vssfs_element_t {
 public:
  using vssfs_element_t::vssfs_element_t;
  bool queryIncludeWriter(VSS_ID writer_class_id, BSTR writer_name, VSS_USAGE_TYPE writer_usage,
                          VSS_SOURCE_TYPE) override {
    Dmsg(hpContext, 50, "Checking VSS writer \"%ls\"\n", printable(writer_name));
    if (same_id(writer_class_id, ASR_Writer_id) || same_id(writer_class_id, MSDE_Writer_id) ||
        same_id(writer_class_id, FRS_Writer_id)) {
      Dmsg(hpContext, 50, "Excluding VSS writer \"%ls\"\n", printable(writer_name));
      return false;
    }
    if (writer_usage != VSS_UT_BOOTABLESYSTEMSTATE && writer_usage != VSS_UT_SYSTEMSERVICE) return false;
    Dmsg(hpContext, 50, "Including VSS writer \"%ls\"\n", printable(writer_name));
    return true;
  }
};

class vssfs_sharepoint_t : public vssfs_element_t {
 public:
  using vssfs_element_t::vssfs_element_t;
  bool queryIncludeWriter(VSS_ID, BSTR writer_name, VSS_USAGE_TYPE, VSS_SOURCE_TYPE) override {
    Dmsg(hpContext, 50, "vssfs_sharepoint_t::queryIncludeWriter(%ls)\n", printable(writer_name));
    return named(writer_name, L"SharePoint Services Writer");
  }
};

class vssfs_exchange_t : public vssfs_element_t {
 public:
  using vssfs_element_t::vssfs_element_t;
  bool queryIncludeWriter(VSS_ID, BSTR writer_name, VSS_USAGE_TYPE, VSS_SOURCE_TYPE) override {
    return named(writer_name, L"Microsoft Exchange Writer");
  }
};

class vssfs_mssql_t : public vssfs_element_t {
 public:
  using vssfs_element_t::vssfs_element_t;
  bool queryIncludeWriter(VSS_ID, BSTR writer_name, VSS_USAGE_TYPE, VSS_SOURCE_TYPE) override {
    return named(writer_name, L"SqlServerWriter") || named(writer_name, L"MSDEWriter");
  }
};

template <class kind_t>
vssfs_element_t* element_factory(vssfs_t* vssfs, char* name) {
  return HNEW kind_t(vssfs, name);
}

}  // namespace

const vssfs_elements_t vssfs_elements[] = {
    {"@SYSTEMSTATE", element_factory<vssfs_systemstate_t>},
    {"@SHAREPOINT", element_factory<vssfs_sharepoint_t>},
    {"@MSSQL", element_factory<vssfs_mssql_t>},
    {"@EXCHANGE", element_factory<vssfs_exchange_t>},
    {nullptr, nullptr},
};
