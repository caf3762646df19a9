// The shadow copy service as the plug-in reaches it: the SDK's COM interfaces and the two
// factory functions found by decorated name in the module the host loaded.
#pragma once

#include <windows.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>
#include <vsserror.h>

typedef HRESULT (*t_CreateVssBackupComponents)(IVssBackupComponents** backup);
typedef HRESULT (*t_CreateVssExamineWriterMetadata)(BSTR xml, IVssExamineWriterMetadata** metadata);

// Export names of the factories in the service's library (64-bit decoration).
#define VSS_CREATE_BACKUP_COMPONENTS_NAME "?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z"
#define VSS_CREATE_EXAMINE_WRITER_METADATA_NAME \
  "?CreateVssExamineWriterMetadata@@YAJPEAGPEAPEAVIVssExamineWriterMetadata@@@Z"

// The SDK lays IVssWriterComponentsExt out as IVssWriterComponents followed by IUnknown;
// mingw-w64 declares only the first part, so Release is reached one pointer further on.
inline ULONG ReleaseWriterComponents(IVssWriterComponentsExt* ext) {
  return reinterpret_cast<IUnknown*>(reinterpret_cast<void**>(ext) + 1)->Release();
}
