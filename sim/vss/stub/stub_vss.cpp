// A shadow copy module that only has the two factory exports; every call fails.
#include <windows.h>
#include <vsbackup.h>

extern "C" HRESULT stub_CreateVssBackupComponents(IVssBackupComponents** backup) {
  if (backup) *backup = nullptr;
  return E_NOTIMPL;
}

extern "C" HRESULT stub_CreateVssExamineWriterMetadata(BSTR, IVssExamineWriterMetadata** metadata) {
  if (metadata) *metadata = nullptr;
  return E_NOTIMPL;
}
