// The functions the plug-in imports from the daemon's core library harbek.dll.
// They are exported there under type-encoded names; harbek_imports.def binds these
// declarations to those names.
#pragma once

#include "host_interface.h"

void* sm_malloc(const char* file, int line, unsigned int size);
void sm_free(const char* file, int line, void* mem);
int lstat(const char* path, struct stat* st);
void* actuallymalloc(unsigned int size);
void actuallyfree(void* mem);
