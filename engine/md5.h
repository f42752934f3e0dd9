// MD5 as RFC 1321 defines it: the Bzip3 header's integrity check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelb {

struct md5_context {
    uint32_t count[2];  // bytes hashed so far, low half first
    uint32_t state[4];  // the chaining words A, B, C, D
    unsigned char buffer[64];  // a block not yet complete
};

void md5_init(md5_context* context);
void md5_update(md5_context* context, const void* data, size_t length);
// Pads, and yields the digest in the order RFC 1321 prints it.
void md5_final(md5_context* context, unsigned char digest[16]);

}  // namespace kelb
