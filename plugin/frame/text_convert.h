// Narrow text of the host interface and of virtual paths is in the system's ANSI code page;
// Windows file names, wide registry values and VSS texts are UTF-16. Every conversion of the
// plug-in goes through here. The C runtime's locale is never touched: the host shares it.
#pragma once

#include <windows.h>

// Host-allocated copies, sized by a first call. Null when `text` is null or cannot be carried
// exactly (a character outside the code page, or bytes that are not valid in it): a name must
// never turn silently into an empty or a different one.
char* host_narrow_from_wide(const char* file, int line, const WCHAR* text);
WCHAR* host_wide_from_narrow(const char* file, int line, const char* text);
#define NARROW_FROM_WIDE(text) host_narrow_from_wide(__FILE__, __LINE__, (text))
#define WIDE_FROM_NARROW(text) host_wide_from_narrow(__FILE__, __LINE__, (text))

// For messages only: never null; characters the code page lacks show as '?'.
char* host_narrow_for_message(const char* file, int line, const WCHAR* text);
#define NARROW_FOR_MESSAGE(text) host_narrow_for_message(__FILE__, __LINE__, (text))

// Null-safe text for printing.
inline const char* printable(const char* text) { return text ? text : ""; }
inline const WCHAR* printable(const WCHAR* text) { return text ? text : L""; }
