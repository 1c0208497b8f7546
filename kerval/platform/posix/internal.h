// Helpers shared by the POSIX implementation files.
#pragma once

#include <cstdint>

namespace kerval::platform::posix {

// Win32 code for an errno value (the errno value itself when Windows has no counterpart).
uint32_t win32_from_errno(int err);
// Winsock code for an errno value from a socket call.
uint32_t wsa_from_errno(int err);
// Sets the thread's last error from errno (Win32 numbering) and returns false.
bool fail_errno(int err);

}  // namespace kerval::platform::posix
