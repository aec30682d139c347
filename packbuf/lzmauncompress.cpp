#include "lzmauncompress.h"

#include <cstdlib>

#include <lzma/LzmaDec.h>

namespace packbuf {

namespace {

void* lzmaAlloc(void*, size_t size)
{
    return std::malloc(size);
}

void lzmaFree(void*, void* address)
{
    std::free(address);
}

} // namespace

int lzmaUncompress(unsigned char* dest, std::size_t* destLength, const unsigned char* source, std::size_t* sourceLength,
    const unsigned char* properties, std::size_t propertiesLength)
{
    ISzAlloc alloc { lzmaAlloc, lzmaFree };
    ELzmaStatus status;
    SizeT produced = *destLength;
    SizeT consumed = *sourceLength;
    const SRes result = LzmaDecode(
        dest, &produced, source, &consumed, properties, unsigned(propertiesLength), LZMA_FINISH_ANY, &status, &alloc);
    *destLength = produced;
    *sourceLength = consumed;
    return result;
}

} // namespace packbuf
