// The library file itself refuses a second process: kerval.dll keeps its one-process flag in a
// data section shared by every process that loads it. Windows only: the Linux build takes the
// flag through the file lock tested in process_test.cpp.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// kerval.dll next to this test program, or empty when the shared library was not built.
std::string library_path()
{
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length == sizeof self)
        return {};
    const auto path = std::filesystem::path(self).parent_path() / "kerval.dll";
    return std::filesystem::exists(path) ? path.string() : std::string();
}

// Runs one case of this program in a new process; its exit code (0 when it passed).
int run_child(const std::string& test_name)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    SetEnvironmentVariableA("KV_DLL_CHILD", "1");
    const std::string command = "\"\"" + std::string(self) + "\" --gtest_filter=" + test_name + "\"";
    const int code = std::system(command.c_str());
    SetEnvironmentVariableA("KV_DLL_CHILD", nullptr);
    return code;
}

bool started_as_child()
{
    return std::getenv("KV_DLL_CHILD") != nullptr;
}

}  // namespace

TEST(PlatformLibraryLoad, SecondProcessCannotLoadTheLibraryWhileTheFirstHoldsIt)
{
    if (started_as_child())
        GTEST_SKIP() << "parent case";
    const std::string path = library_path();
    if (path.empty())
        GTEST_SKIP() << "kerval.dll not built";
    HMODULE library = LoadLibraryA(path.c_str());
    ASSERT_NE(library, nullptr) << "error " << GetLastError();
    EXPECT_EQ(run_child("PlatformLibraryLoad.ChildIsRefusedTheLibrary"), 0);
    FreeLibrary(library);
    // Unloading gives the flag up: the next process gets the library.
    EXPECT_EQ(run_child("PlatformLibraryLoad.ChildGetsTheLibrary"), 0);
}

// Second process of the case above; skipped when run on its own.
TEST(PlatformLibraryLoad, ChildIsRefusedTheLibrary)
{
    if (!started_as_child())
        GTEST_SKIP() << "started by the case above";
    EXPECT_EQ(LoadLibraryA(library_path().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
}

TEST(PlatformLibraryLoad, ChildGetsTheLibrary)
{
    if (!started_as_child())
        GTEST_SKIP() << "started by the case above";
    HMODULE library = LoadLibraryA(library_path().c_str());
    EXPECT_NE(library, nullptr);
    if (library != nullptr)
        FreeLibrary(library);
}

#endif  // _WIN32
