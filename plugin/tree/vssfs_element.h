// An element of the virtual tree's top level ("@SYSTEMSTATE" and the others).
#pragma once

#include "vssfs_node.h"

class vssfs_element_t : public vssfs_node_t {
 public:
  vssfs_element_t* next;

  using vssfs_node_t::vssfs_node_t;
};
