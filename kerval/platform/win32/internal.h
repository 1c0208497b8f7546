// Helpers shared by the Win32 implementation files.
#pragma once

#include <windows.h>

namespace kerval::platform::win32 {

// WaitForSingleObject that also ends the calling thread when another thread terminates it
// meanwhile: a thread created here leaves from inside the wait with ExitThread, so it is never
// killed in the middle of the C runtime or the loader. Other threads wait as usual.
DWORD wait_or_end(HANDLE h, DWORD timeout_ms);

}  // namespace kerval::platform::win32
