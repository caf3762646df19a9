// The requester's view of a backup components document: one IVssWriterComponentsExt per writer
// and one IVssComponent per component, each reading the document entry it was made from.
//
// The SDK lays IVssWriterComponentsExt out as IVssWriterComponents followed by IUnknown, so the
// object's IUnknown (and with it Release) sits one pointer after the interface pointer handed
// out. mingw-w64's header declares only the first part; the object has both.
#pragma once

#include "components_document.h"

HRESULT CreateWriterComponentsView(std::shared_ptr<DocWriter> writer, IVssWriterComponentsExt** out);
HRESULT CreateComponentView(std::shared_ptr<DocComponent> component, IVssComponent** out);

// The IUnknown of an IVssWriterComponentsExt handed out by this module (for callers that only
// have mingw-w64's declaration).
IUnknown* WriterComponentsUnknown(IVssWriterComponentsExt* writer);
