#pragma once
// Registration of the COM+ catalog stand-in (simcomcatalog.dll) and the record of its
// RestoreREGDB calls. Registration is machine-wide (HKLM\Software\Classes\CLSID, the place Wine
// looks); unregistering removes the class key with everything below it.
#include <windows.h>

#include <string>
#include <vector>

// The class key of CLSID_COMAdminCatalog below HKEY_LOCAL_MACHINE, and the stand-in's values on it.
extern const wchar_t kComCatalogClassKey[];
extern const wchar_t kComCatalogRecordValue[];  // REG_SZ: the record file
extern const wchar_t kComCatalogAnswerValue[];  // REG_DWORD: what RestoreREGDB answers for a readable file

struct ComCatalogRestoreCall {
  std::wstring file;                // the name passed
  long long size = -1;              // its size when the call came, -1 when it could not be read
  unsigned long long digest = 0;    // FNV-1a of its content
  HRESULT answer = S_OK;            // what the call answered
};

// simcomcatalog.dll beside the running program.
std::wstring ComCatalogStandInPath();

// Registers `dll_path` as the catalog's in-process server. RestoreREGDB then appends to
// `record_file` and answers `answer` (E_INVALIDARG for no name and E_FAIL for a file it cannot
// read, whatever `answer` says). Fails with ERROR_ALREADY_EXISTS when the class key exists and
// is not the stand-in's.
LONG RegisterComCatalogStandIn(const std::wstring& dll_path, const std::wstring& record_file,
                               HRESULT answer = S_OK);
// Removes the stand-in's class key and everything below it; nothing to remove is success, a
// registration that is not the stand-in's is left alone (ERROR_ACCESS_DENIED).
LONG UnregisterComCatalogStandIn();

// Size and digest of a file as the stand-in records them.
ComCatalogRestoreCall DescribeComCatalogFile(const std::wstring& file);
// One line per call: answer (hex), size, digest (hex) and the name in UTF-8, tab-separated.
void AppendComCatalogRecord(const std::wstring& record_file, const ComCatalogRestoreCall& call);
std::vector<ComCatalogRestoreCall> ReadComCatalogRecord(const std::wstring& record_file);
