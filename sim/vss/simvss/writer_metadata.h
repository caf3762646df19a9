// Writer metadata objects of the simulated service: IVssExamineWriterMetadata with its
// components, file descriptors and dependencies, and the writer metadata document.
#pragma once

#include "machine.h"

// A new metadata object (reference count 1) describing `writer`; it keeps its own copy.
HRESULT CreateWriterMetadata(const MachineWriter& writer, IVssExamineWriterMetadata** out);

// Behind the exported CreateVssExamineWriterMetadata: a saved writer metadata document back into
// an equal object. Null arguments: E_INVALIDARG; a document that does not parse or is not a
// writer metadata document: VSS_E_INVALID_XML_DOCUMENT.
extern "C" HRESULT SimCreateExamineWriterMetadata(BSTR xml, IVssExamineWriterMetadata** out);

// The writer metadata document of `writer` (UTF-16 XML) and its reader; shared by SaveAsXML and
// the factory above, and usable by the backup components document for embedded metadata.
HRESULT WriterMetadataToXml(const MachineWriter& writer, std::wstring* xml);
HRESULT WriterMetadataFromXml(const wchar_t* xml, MachineWriter* out);
