// Reads a fuzz input front to back: fixed header fields first, free text
// last, so seed files can be written by hand. Bytes past the end read as 0.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz {

struct input {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t u16()
    {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (byte() << 8));
    }
    uint32_t u24()
    {
        const uint32_t lo = u16();
        return lo | (uint32_t{byte()} << 16);
    }
    size_t left() const { return size - pos; }
    // Up to n bytes, fewer at the end of the input.
    std::string take(size_t n)
    {
        if (n > left())
            n = left();
        std::string s(reinterpret_cast<const char *>(data + pos), n);
        pos += n;
        return s;
    }
    // Up to the next zero byte (consumed), or the rest of the input.
    std::string text()
    {
        std::string s;
        while (pos < size && data[pos] != 0)
            s += static_cast<char>(data[pos++]);
        if (pos < size)
            ++pos;
        return s;
    }
    std::string rest() { return take(left()); }
};

// A property of the code under test does not hold: stop with a crash so
// the fuzzer keeps the input.
[[noreturn]] inline void violated() { abort(); }
#define FUZZ_CHECK(cond) \
    do { if (!(cond)) fuzz::violated(); } while (0)

// No terminal on standard input: a terminal would make every prompt drop
// what the stream holds. Standard output is thrown away.
inline int quiet_standard_streams()
{
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    close(null_fd);
    if (!freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

} // namespace fuzz
