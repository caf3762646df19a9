// Lays out the files a machine description lists, with content that depends only on each
// file's path as written in the description, so every run creates identical files.
#pragma once

#include "machine.h"

// The byte at `offset` of the file described by `described_path`.
unsigned char LayoutByte(const std::wstring& described_path, unsigned long long offset);

// Creates the file `path` (and the folders above it) with `size` bytes of the content seeded by
// `seed` (LayoutByte), replacing an existing one. On failure `error` names the file and the error.
HRESULT WriteLayoutFile(const std::wstring& path, const std::wstring& seed,
                        unsigned long long size, std::wstring* error);

// Creates every plain layout file of `machine` (and the folders above it), replacing existing ones.
// Paths are expanded with the process's environment. On failure, `error` names the file and the
// Win32 error and the HRESULT of that error is returned; `created` counts the files written.
HRESULT LayOutMachine(const Machine& machine, size_t* created, std::wstring* error);

// Environment variables of `path` expanded with the process's environment.
std::wstring ExpandMachinePath(const std::wstring& path);
