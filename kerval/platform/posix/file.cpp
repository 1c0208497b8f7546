// 64-bit positions of C streams.
#include <sys/types.h>

#include <cstdio>

#include "kerval/platform/platform.h"

namespace kerval::platform {

static_assert(sizeof(off_t) >= sizeof(int64_t), "streams need 64-bit offsets");

bool file_seek(std::FILE* stream, int64_t offset, int origin)
{
    return stream != nullptr && fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}

int64_t file_tell(std::FILE* stream)
{
    return stream == nullptr ? -1 : static_cast<int64_t>(ftello(stream));
}

}  // namespace kerval::platform
