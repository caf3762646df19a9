// Real files and folders for tests: removal of whole trees (links included, never what they
// point at) and the host system's programs that make and remove links.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Text in UTF-8, or in the given code page.
std::wstring Widen(const std::string& text, UINT code_page = CP_UTF8);
std::string Narrow(const std::wstring& text);
// Removes the folder and everything below it; read-only files too.
void RemoveTree(const std::wstring& path);

// The host system's name of a path (empty when there is none).
std::string UnixName(const std::wstring& path);
// Runs a program of the host system (for example "Z:\\bin\\ln").
void RunUnixProgram(const char* program, std::string command);
// Such a program cannot be awaited from here (its handle is signalled at once): look until its
// effect shows.
bool WaitFor(const std::function<bool()>& done);
// Attributes as a directory search reports them (the way links show as reparse points).
DWORD FindAttributes(const std::wstring& path);
