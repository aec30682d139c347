#include "zpaqcodec.h"

namespace packbuf {

bool zpaqDecompress(const char*, std::size_t, char*, std::size_t)
{
    return false;
}

} // namespace packbuf
