#include "text_convert.h"

#include "host_alloc.h"

namespace {

// Best-fit mapping would turn a name into another existing name ("α" → "a"): never allowed.
// A UTF-8 system code page refuses the used-default flag, so it reports failure by error instead.
bool wide_to_acp(const WCHAR* text, char* out, int out_size, int* length) {
  UINT code_page = GetACP();
  BOOL used_default = FALSE;
  bool utf8 = code_page == CP_UTF8;
  DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  int n = WideCharToMultiByte(code_page, flags, text, -1, out, out_size, nullptr,
                              utf8 ? nullptr : &used_default);
  *length = n;
  return n > 0 && !used_default;
}

}  // namespace

char* host_narrow_from_wide(const char* file, int line, const WCHAR* text) {
  if (!text) return nullptr;
  int size = 0;
  if (!wide_to_acp(text, nullptr, 0, &size)) return nullptr;
  char* copy = static_cast<char*>(host_alloc(file, line, size));
  if (!wide_to_acp(text, copy, size, &size)) {
    host_free(copy);
    return nullptr;
  }
  return copy;
}

WCHAR* host_wide_from_narrow(const char* file, int line, const char* text) {
  if (!text) return nullptr;
  int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (size <= 0) return nullptr;
  WCHAR* copy = static_cast<WCHAR*>(host_alloc(file, line, size * sizeof(WCHAR)));
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, copy, size) != size) {
    host_free(copy);
    return nullptr;
  }
  return copy;
}

char* host_narrow_for_message(const char* file, int line, const WCHAR* text) {
  text = printable(text);
  UINT code_page = GetACP();
  bool utf8 = code_page == CP_UTF8;
  DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf8 ? nullptr : "?";
  int size = WideCharToMultiByte(code_page, flags, text, -1, nullptr, 0, fallback, nullptr);
  if (size <= 0) return host_strdup(file, line, "?");
  char* copy = static_cast<char*>(host_alloc(file, line, size));
  if (WideCharToMultiByte(code_page, flags, text, -1, copy, size, fallback, nullptr) != size) {
    host_free(copy);
    return host_strdup(file, line, "?");
  }
  return copy;
}
