// Big-endian field helpers for CDBs and returned data.
#pragma once

#include <cassert>
#include <cstdint>

inline void put_be16(unsigned char *p, uint32_t v)
{
    assert(v <= 0xFFFFu);
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline void put_be24(unsigned char *p, uint32_t v)
{
    assert(v <= 0xFFFFFFu);
    p[0] = static_cast<unsigned char>(v >> 16);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v);
}

inline void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline uint32_t get_be16(const unsigned char *p)
{
    return (uint32_t{p[0]} << 8) | p[1];
}

inline uint32_t get_be24(const unsigned char *p)
{
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

inline uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
           (uint32_t{p[2]} << 8) | p[3];
}
