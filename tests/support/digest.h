// Digests for the tests that see the engine's headers: the raw 16 bytes, hex text as bytes, and a bzip2
// file behind a Bzip3 header that carries a digest.
#pragma once

#include "bzip3_header.h"
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

// The header holds the digest (16 bytes) and nothing else.
inline std::string behind_bzip3_header(const std::string& digest, const std::string& bzip2)
{
    kelb::bzip3_header header{};
    memcpy(header.magic, kelb::bzip3_magic, 4);
    memcpy(header.digest, digest.data(), 16);
    unsigned char head[kelb::bzip3_header_size];
    kelb::encode_bzip3_header(header, head);
    return std::string(reinterpret_cast<char*>(head), sizeof head) + bzip2;
}

}  // namespace kelbtest
