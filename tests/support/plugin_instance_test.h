// An instance of the plug-in made inside the test program: its messages go to a test job, and
// every block it took must be back with the host when the test ends.
#pragma once

#include "../../plugin/frame/host_interface.h"
#include "../../plugin/frame/host_alloc.h"
#include "../../plugin/frame/host_messages.h"
#include "../../plugin/frame/vssfs.h"
#include "../../sim/host/harbek/harbek_accounting.h"
#include "../../sim/host/testhost/test_host.h"

#include <gtest/gtest.h>

class PluginInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The host table starts as the test host's; a fixture answers some entries itself here.
  virtual void ConfigureHost(hFuncs&) {}

  size_t blocks_before = 0;
  hFuncs funcs{};
  TestJob job;
  vssfs_t* vssfs = nullptr;
};
