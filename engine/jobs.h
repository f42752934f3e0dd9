// The four file jobs. Each runs to completion on the worker thread and
// returns its result code.
#pragma once

#include <cstdint>

namespace kelb {

int32_t compress_bzip2_file(const char* source, const char* target, const char* mode);
int32_t decompress_bzip2_file(const char* source, const char* target);

int32_t compress_bzip3_file(const char* source, const char* target, int32_t level);
int32_t decompress_bzip3_file(const char* source, const char* target);

}  // namespace kelb
