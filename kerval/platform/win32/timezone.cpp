// The process's time zone, for tests that depend on one. The runtime reads TZ in _tzset.
#include <stdlib.h>
#include <time.h>

#include "kerval/platform/platform.h"

namespace kerval::platform {

bool set_time_zone(const char* tz)
{
    const int result = _putenv_s("TZ", tz != nullptr ? tz : "");
    _tzset();
    return result == 0;
}

}  // namespace kerval::platform
