// The process's time zone, for tests that depend on one.
#include <stdlib.h>
#include <time.h>

#include "kerval/platform/platform.h"

namespace kerval::platform {

bool set_time_zone(const char* tz)
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): a test seam, used before any task reads the zone
    const int result = tz != nullptr ? setenv("TZ", tz, 1) : unsetenv("TZ");
    tzset();
    return result == 0;
}

}  // namespace kerval::platform
