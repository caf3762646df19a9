#include "split_string.h"

#include "host_alloc.h"

#include <cstring>

char** splitString(char* string, char split, int maxParts, int* count) {
  char** parts = static_cast<char**>(HALLOC((maxParts + 1) * sizeof(char*)));
  *count = 0;
  const char* pos = string;
  while (*count < maxParts) {
    const char* end = strchr(pos, split);
    size_t len = end ? static_cast<size_t>(end - pos) : strlen(pos);
    char* part = static_cast<char*>(HALLOC(len + 1));
    memcpy(part, pos, len);
    parts[(*count)++] = part;
    if (!end) break;
    pos = end + 1;
    if (*pos == '\0') break;
  }
  parts[*count] = nullptr;
  return parts;
}

void freeSplitString(char** parts) {
  if (!parts) return;
  for (char** p = parts; *p; ++p) HFREE(*p);
  HFREE(parts);
}
