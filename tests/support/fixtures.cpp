#include "tests/support/fixtures.h"

#include "kerval/core/internal.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <string>

namespace kvtest {
namespace fs = std::filesystem;

namespace {

fs::path UniqueTempPath()
{
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    const std::string leaf =
        "kvtest-" + std::to_string(seed()) + "-" + std::to_string(counter.fetch_add(1));
    return fs::temp_directory_path() / leaf;
}

std::string WithoutCarriageReturns(std::string text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

TempDir::TempDir() : previous_(fs::current_path()), path_(UniqueTempPath())
{
    fs::create_directories(path_);
    fs::current_path(path_);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
}

void BeginCaptureStdout()
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
}

std::string EndCaptureStdout()
{
    std::fflush(stdout);
    return WithoutCarriageReturns(::testing::internal::GetCapturedStdout());
}

InitOptions MinimalOptions()
{
    InitOptions options{};
    options.bTraceConsole = 0;
    options.NbMaxTask = 20;
    options.NbMaxMailBox = 20;
    options.NbMaxSem = 10;
    options.NbMaxTempo = 60;
    options.NbMaxSock = 5;
    options.NbMaxSection = 5;
    options.NbMaxFile = 5;
    options.NbMaxShare = 5;
    options.NbMaxObject = 0;
    return options;
}

namespace {

int32_t StartWith(int32_t (*start)(InitOptions*))
{
    // The library keeps the record's address: it must outlive every test of the process.
    static InitOptions kept;
    kept = MinimalOptions();
    int32_t code = eNOK;
    const std::string output = CaptureStdoutOf([&] { code = start(&kept); });
    if (code != eOK)
        std::fputs(output.c_str(), stdout);  // keep the reason of a failed start
    return code;
}

}  // namespace

int32_t StartKerval()
{
    return StartWith(InitKerval);
}

int32_t StartKernelOnly()
{
    return StartWith(kerval::core::StartKernel);
}

}  // namespace kvtest
