// Wrapper of one shadow copy context.
#pragma once

#include "vss_interface.h"

class vssapi_t {
 public:
  virtual ~vssapi_t() {}
};
