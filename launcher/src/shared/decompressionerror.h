#pragma once

#include <stdexcept>
#include <string>

namespace shared {

// Downloaded data that does not unpack.
class TDecompressionError : public std::runtime_error
{
public:
    explicit TDecompressionError(const std::string& message)
        : std::runtime_error(message)
    { }
};

} // namespace shared
