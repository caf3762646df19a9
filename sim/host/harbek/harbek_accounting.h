// Extra exports of the stand-in core library, for tests and the bench host only.
#pragma once

#include <cstddef>

extern "C" {
// Blocks handed out by sm_malloc and not yet returned.
__declspec(dllimport) size_t harbek_live_blocks();
// The most blocks live at once since the last reset; `reset` starts a new count from now.
__declspec(dllimport) size_t harbek_peak_live_blocks(bool reset);
// Live blocks whose allocating source name contains file_part: a test process that links the
// plug-in's code routes its own allocations here too, and counts only the plug-in's.
__declspec(dllimport) size_t harbek_live_blocks_matching(const char* file_part);
// Writes one line per live block ("live block: FILE:LINE SIZE bytes") to stderr; returns the count.
__declspec(dllimport) size_t harbek_report_live_blocks();
// Frees of pointers that were never handed out or were already freed.
__declspec(dllimport) size_t harbek_bad_frees();
// The nth sm_malloc from now on answers null, once; 0 takes a pending failure back.
__declspec(dllimport) void harbek_fail_allocation(size_t nth);
}
