// Capability checks behind the Win32 privilege names.
#pragma once

namespace kerval::platform::posix {

bool has_capability(int capability);
// The privilege seam when set, else the process's effective capability.
bool privilege_held(const char* privilege_name, int capability);

}  // namespace kerval::platform::posix
