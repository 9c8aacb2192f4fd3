// Writing a text into a caller's buffer: always terminated, cut to its size.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace camactools {

inline void put(const std::string &text, char *buffer, std::size_t size)
{
    if (!buffer || size == 0)
        return;
    const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

} // namespace camactools
