// The writer element shared by machine descriptions and writer metadata documents.
#pragma once

#include "machine.h"
#include "xml_dom.h"

// Which parts of a writer an element carries: a machine description has everything, a writer
// metadata document only what the writer itself declares.
enum class WriterParts { kMetadataOnly, kWithBackupResults };

// Fills `out` from `element` (its attributes and children). VSS_E_INVALID_XML_DOCUMENT with a
// one-line `error` when an attribute or element is unknown, missing or malformed.
HRESULT ReadWriterElement(const XmlElement& element, WriterParts parts, MachineWriter* out,
                          std::wstring* error);
void WriteWriterElement(XmlElement& element, const MachineWriter& writer, WriterParts parts);
