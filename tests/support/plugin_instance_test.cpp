#include "plugin_instance_test.h"

void PluginInstanceTest::SetUp() {
  funcs = *TestHost::HostFuncs();
  ConfigureHost(funcs);
  hfuncs = &funcs;
  blocks_before = harbek_live_blocks_matching("/plugin/");
  job.ctx.hContext = &job;
  vssfs = HNEW vssfs_t;
  vssfs->hpContext = &job.ctx;
  job.ctx.pContext = vssfs;
}

void PluginInstanceTest::TearDown() {
  delete vssfs;
  vssfs = nullptr;
  EXPECT_EQ(harbek_live_blocks_matching("/plugin/"), blocks_before) << "plug-in blocks left behind";
}
