// Every heap block of the plug-in comes from the host allocator, tagged with the
// allocating source and line, and zero-filled: constructors rely on that.
#pragma once

#include <cstddef>

void* operator new(size_t size, const char* file, int line);
void* operator new[](size_t size, const char* file, int line);
// Only reached when a constructor called through the tagged forms throws.
void operator delete(void* mem, const char* file, int line) noexcept;
void operator delete[](void* mem, const char* file, int line) noexcept;

#define HNEW new (__FILE__, __LINE__)

// Zero-filled block / text copies from the host allocator.
void* host_alloc(const char* file, int line, size_t size);
void host_free(void* mem);
// Copies of null are null.
char* host_strdup(const char* file, int line, const char* text);
wchar_t* host_wcsdup(const char* file, int line, const wchar_t* text);
#define HALLOC(size) host_alloc(__FILE__, __LINE__, (size))
#define HSTRDUP(text) host_strdup(__FILE__, __LINE__, (text))
#define HWCSDUP(text) host_wcsdup(__FILE__, __LINE__, (text))
#define HFREE(mem) host_free(mem)
