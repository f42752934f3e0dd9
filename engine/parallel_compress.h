// One bzip2 stream from a source, its blocks compressed on the job's own
// threads and written in order: the same bytes as libbzip2 writes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelb {

// The most any one read is asked for.
constexpr size_t compress_read_size = 32768;

struct compress_io {
    // Up to capacity bytes of the source into buffer, *n == 0 at its end;
    // false when the read fails.
    std::function<bool(unsigned char* buffer, size_t capacity, size_t* n)> read;
    // False when the bytes could not all be written.
    std::function<bool(const unsigned char* bytes, size_t n)> write;
    // The source bytes whose compressed form has been written so far.
    std::function<void(uint64_t done)> progress;
    // The pause and cancel point, before every read and every block written.
    std::function<bool()> must_stop;
    // When set, sees every source byte in order, on a thread of its own.
    std::function<void(const unsigned char* bytes, size_t n)> observe;
};

enum class compress_end { finished, stopped, read_failed, write_failed, no_compressor };

// With one worker every block is compressed on the caller's thread; with
// more, on that many threads of the job's own while the caller reads and writes.
compress_end compress_stream(int level, int workers, const compress_io& io);

}  // namespace kelb
