#include <windows.h>

#include <gtest/gtest.h>

#include "import_patch.h"

namespace {

int g_replacement_calls = 0;

DWORD WINAPI CountingGetLogicalDrives() {
  ++g_replacement_calls;
  return 12345;
}

// The compiler may keep an import's address in a register across calls within one function, so
// every call that must see the current slot goes through its own frame.
__attribute__((noipa)) DWORD CallGetLogicalDrives() { return GetLogicalDrives(); }

class ImportPatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_replacement_calls = 0;
    self_ = GetModuleHandleA(nullptr);
  }
  void TearDown() override {
    // Leaves the exe's table as it found it even when a test failed half-way.
    if (original_) ReplaceImport(self_, "kernel32.dll", "GetLogicalDrives", original_);
  }
  void* Patch(const char* dll) {
    void* previous =
        ReplaceImport(self_, dll, "GetLogicalDrives", reinterpret_cast<void*>(&CountingGetLogicalDrives));
    if (previous && !original_) original_ = previous;
    return previous;
  }

  HMODULE self_ = nullptr;
  void* original_ = nullptr;
};

TEST_F(ImportPatchTest, ReplacementReceivesCallsUntilPatchedBack) {
  void* previous = Patch("kernel32.dll");
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(previous, reinterpret_cast<void*>(
                          GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetLogicalDrives")));
  EXPECT_EQ(CallGetLogicalDrives(), 12345u);
  EXPECT_EQ(g_replacement_calls, 1);

  void* replaced = ReplaceImport(self_, "kernel32.dll", "GetLogicalDrives", previous);
  EXPECT_EQ(replaced, reinterpret_cast<void*>(&CountingGetLogicalDrives));
  original_ = nullptr;
  CallGetLogicalDrives();
  EXPECT_EQ(g_replacement_calls, 1);
}

TEST_F(ImportPatchTest, DllNameMatchesWithoutRegardToCase) {
  ASSERT_NE(Patch("KERNEL32.DLL"), nullptr);
  CallGetLogicalDrives();
  EXPECT_EQ(g_replacement_calls, 1);
}

TEST_F(ImportPatchTest, AnswersNullAndChangesNothingWhenNotImported) {
  // Another DLL, a function the exe does not import, a name that only shares a prefix.
  EXPECT_EQ(Patch("user32.dll"), nullptr);
  EXPECT_EQ(Patch("kernel32"), nullptr);
  EXPECT_EQ(ReplaceImport(self_, "kernel32.dll", "NoSuchFunction",
                          reinterpret_cast<void*>(&CountingGetLogicalDrives)),
            nullptr);
  EXPECT_EQ(ReplaceImport(self_, "kernel32.dll", "GetLogicalDrivesX",
                          reinterpret_cast<void*>(&CountingGetLogicalDrives)),
            nullptr);
  EXPECT_EQ(ReplaceImport(nullptr, "kernel32.dll", "GetLogicalDrives",
                          reinterpret_cast<void*>(&CountingGetLogicalDrives)),
            nullptr);
  CallGetLogicalDrives();
  EXPECT_EQ(g_replacement_calls, 0);
}

TEST_F(ImportPatchTest, PatchesTheImportsOfALoadedDll) {
  // The stand-in host library imports kernel32 like any DLL the bench loads.
  HMODULE dll = LoadLibraryA("harbek.dll");
  ASSERT_NE(dll, nullptr);
  void* previous = ReplaceImport(dll, "kernel32.dll", "IsDebuggerPresent",
                                 reinterpret_cast<void*>(&CountingGetLogicalDrives));
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(ReplaceImport(dll, "kernel32.dll", "IsDebuggerPresent", previous),
            reinterpret_cast<void*>(&CountingGetLogicalDrives));
  EXPECT_EQ(ReplaceImport(dll, "kernel32.dll", "NoSuchFunction", nullptr), nullptr);
  FreeLibrary(dll);

  // A DLL mapped as plain data has an import table that nobody bound: it is not touched.
  HMODULE data = LoadLibraryExA("harbek.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ReplaceImport(data, "kernel32.dll", "IsDebuggerPresent",
                          reinterpret_cast<void*>(&CountingGetLogicalDrives)),
            nullptr);
  FreeLibrary(data);
}

}  // namespace
