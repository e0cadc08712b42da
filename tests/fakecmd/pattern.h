#pragma once

// The bytes that fakecmd writes for "out N" and "err N": lines of 64 bytes, each starting with
// its own number in 16 hex digits, so lost, doubled or reordered data shows.

#include <cstddef>
#include <cstdint>

namespace fakecmd {

inline constexpr std::size_t patternLineLength = 64;

// Writes `count` pattern bytes that start at pattern position `offset` into `buffer`.
inline void fillPattern(char* buffer, std::uint64_t offset, std::size_t count)
{
    static constexpr char hex[] = "0123456789abcdef";
    static constexpr char filler[] =
        "-ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t position = offset + i;
        const std::uint64_t line = position / patternLineLength;
        const std::size_t column = position % patternLineLength;
        if (column < 16)
            buffer[i] = hex[(line >> (4 * (15 - column))) & 0xF];
        else if (column == patternLineLength - 1)
            buffer[i] = '\n';
        else
            buffer[i] = filler[column];
    }
}

} // namespace fakecmd
