// Effective capability checks (CAP_SYS_TIME, CAP_SYS_BOOT) for the privilege operations.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kerval/platform/common/seams_internal.h"
#include "kerval/platform/posix/capability.h"

namespace kerval::platform::posix {

bool has_capability(int capability)
{
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const int word = capability / 32;
    const unsigned bit = 1u << (capability % 32);
    return (data[word].effective & bit) != 0;
}

bool privilege_held(const char* privilege_name, int capability)
{
    if (auto check = detail::privilege_seam())
        return check(privilege_name);
    return has_capability(capability);
}

}  // namespace kerval::platform::posix
