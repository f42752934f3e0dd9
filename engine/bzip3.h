// The Bzip3 jobs: a file into a Bzip3 container (header, then one bzip2
// stream) and back. Declared for the worker in jobs.h; their result codes
// are here.
#pragma once

#include "jobs.h"

#include <cstdint>

namespace kelb {

namespace bzip3_result {
constexpr int32_t cannot_open_source = 107;
constexpr int32_t cannot_open_target = 108;
constexpr int32_t write_failed = 114;
constexpr int32_t source_ended_early = 116;
constexpr int32_t cancelled = 119;
constexpr int32_t compress_init_failed = 120;
constexpr int32_t decompress_init_failed = 121;
constexpr int32_t not_bzip3 = 122;
constexpr int32_t checksum_mismatch = 123;
constexpr int32_t stream_unfinished = 124;
constexpr int32_t out_of_memory = 125;
constexpr int32_t corrupt_data = 126;
}  // namespace bzip3_result

// The bytes taken from the source per chunk, and the most written per call.
constexpr uint32_t bzip3_chunk_size = 32768;

}  // namespace kelb
