// 64-bit positions of C streams.
#include <cstdio>

#include "kerval/platform/platform.h"

namespace kerval::platform {

bool file_seek(std::FILE* stream, int64_t offset, int origin)
{
    return stream != nullptr && _fseeki64(stream, offset, origin) == 0;
}

int64_t file_tell(std::FILE* stream)
{
    return stream == nullptr ? -1 : static_cast<int64_t>(_ftelli64(stream));
}

}  // namespace kerval::platform
