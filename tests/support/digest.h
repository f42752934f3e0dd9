// Digests for the tests that link the engine's MD5: the raw 16 bytes, and hex text as those bytes.
#pragma once

#include "md5.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kelbtest {

// The digest of data fed in pieces, from a context that starts as garbage.
inline std::string md5_of(const std::string& data, size_t piece = 4096)
{
    kelb::md5_context context;
    memset(&context, 0xa5, sizeof context);
    kelb::md5_init(&context);
    for (size_t at = 0; at < data.size(); at += piece)
        kelb::md5_update(&context, data.data() + at, std::min(piece, data.size() - at));
    std::string digest(16, '\0');
    kelb::md5_final(&context, reinterpret_cast<unsigned char*>(&digest[0]));
    return digest;
}

// Hex digits as the bytes they spell.
inline std::string unhex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace kelbtest
