// The library entry point. Windows calls it when a process loads or unloads kerval.dll: a
// second process is refused while one holds the library. On Linux the shared library's load
// hook lives in the platform layer, and InitKerval refuses a second process.
#include "kerval/kerval.h"
#include "kerval/platform/platform.h"

#if defined(_WIN32) && defined(KERVAL_SHARED_BUILD)

namespace {
constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;
}  // namespace

// BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID), spelled without the Windows headers.
extern "C" int __stdcall DllMain(void* /*hModule*/, unsigned long lReason, void* pReserved)
{
    if (lReason == kProcessAttach)
        return kerval::platform::single_process_attach() ? 1 : 0;
    if (lReason == kProcessDetach) {
        // Unloaded while the process goes on (pReserved null): threads ending later must not
        // call into the library any more. At the process's end nothing runs after us.
        if (pReserved == nullptr)
            kerval::platform::thread_end_calls_unload();
        kerval::platform::single_process_detach();
    }
    return 1;
}

#endif
