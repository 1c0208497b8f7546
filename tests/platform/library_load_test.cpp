// The library file itself refuses a second process: kerval.dll keeps its one-process flag in a
// data section shared by every process that loads it. Windows only: the Linux build takes the
// flag through the file lock tested in process_test.cpp.
#ifdef _WIN32

#include "tests/support/fixtures.h"

#include <windows.h>

namespace {

std::filesystem::path self_path() {
    char self[MAX_PATH];
    return std::string(self, GetModuleFileNameA(nullptr, self, sizeof self));
}

std::filesystem::path dll_path() { return self_path().parent_path() / "kerval.dll"; }

// Exit code of ChildLoadsTheLibrary run in a new process told what to expect (0: passed).
int run_child(const char* expect) {
    SetEnvironmentVariableA("KV_DLL_CHILD", expect);
    const std::string command = "\"\"" + self_path().string() +
                                "\" --gtest_filter=PlatformLibraryLoad.ChildLoadsTheLibrary\"";
    const int code = std::system(command.c_str());
    SetEnvironmentVariableA("KV_DLL_CHILD", nullptr);
    return code;
}

}  // namespace

TEST(PlatformLibraryLoad, SecondProcessCannotLoadTheLibraryWhileTheFirstHoldsIt) {
    if (!std::filesystem::exists(dll_path())) GTEST_SKIP() << "kerval.dll not built";
    HMODULE library = LoadLibraryA(dll_path().string().c_str());
    ASSERT_NE(library, nullptr) << "error " << GetLastError();
    EXPECT_EQ(run_child("refused"), 0);
    FreeLibrary(library);
    EXPECT_EQ(run_child("granted"), 0);  // unloading gave the flag up
}

// Second process of the case above; skipped when run on its own.
TEST(PlatformLibraryLoad, ChildLoadsTheLibrary) {
    const char* expect = std::getenv("KV_DLL_CHILD");
    if (expect == nullptr) GTEST_SKIP() << "started by the case above";
    HMODULE library = LoadLibraryA(dll_path().string().c_str());
    EXPECT_EQ(library == nullptr ? GetLastError() : 0,
              std::string(expect) == "refused" ? static_cast<DWORD>(ERROR_DLL_INIT_FAILED) : 0);
    FreeLibrary(library);
}

#endif  // _WIN32
