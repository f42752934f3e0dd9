// bzip2 decompression on all the job's workers: the compressed source is cut
// into blocks at their magics, each block is decoded alone on the pool, and
// the outputs are written in order once their CRCs have been checked.
//
// It only handles well-formed data. At the first thing it cannot resolve (a
// block that will not decode, a combined CRC that fails, a stream header or
// an end that is not as it should be, a failed read) it stops and names the
// stream at which the sequential decoding must take over: that decoding is
// the reference for every damaged, truncated or odd file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelb {

// Where the decoded bytes go, in order, on the calling thread.
class decode_sink {
public:
    virtual ~decode_sink() = default;
    // The next bytes of the current stream; false when they could not be written.
    virtual bool write(const unsigned char* data, size_t count) = 0;
    // The current stream is whole and its combined CRC matched.
    virtual bool stream_verified() = 0;
    // The source up to this byte has been decoded and its output written.
    virtual void consumed(uint64_t offset) = 0;
};

// For a sink: the sequential decoding hands its output out in chunks and
// drops the one in which it meets damage, and a block may give bytes before
// it fails. Until a stream is whole, its last full chunk and what follows it
// are held back, so that what has been written is always a part of what the
// sequential decoding writes.
class held_back_output {
public:
    using writer = std::function<bool(const unsigned char* data, size_t count)>;
    held_back_output(size_t chunk, writer put) : chunk_(chunk), put_(std::move(put)) {}

    bool write(const unsigned char* data, size_t count);
    // The stream is whole: all of it goes out, and the next one begins.
    bool stream_whole();
    // Of the current stream: the bytes given, and those in the target.
    uint64_t given() const { return given_; }
    uint64_t written() const { return written_; }

private:
    bool put(const unsigned char* data, size_t count) { return count == 0 || put_(data, count); }

    size_t chunk_;
    writer put_;
    uint64_t given_ = 0;
    uint64_t written_ = 0;
    std::vector<unsigned char> tail_;
};

// Reads the next bytes of the source; 0 at its end, or with *failed set.
using source_reader = std::function<size_t(unsigned char* buffer, size_t count, bool* failed)>;

struct parallel_outcome {
    enum { finished, stopped, write_failed, handed_over } how = finished;
    // handed_over: where the stream to decode sequentially begins, and its
    // number in the source (1 for the first).
    uint64_t stream_start = 0;
    int stream_number = 1;
    // finished: whether a stream was found at all.
    bool any_stream = false;
};

// Decodes the streams that begin at byte `first` of the source (where the
// reader stands), reading read_size bytes at a time and looking at pause and
// cancel after each read and each step. With one_stream, what follows the
// first stream is not looked at. Every thread it starts has ended when it
// returns.
parallel_outcome decompress_in_parallel(const source_reader& read, size_t read_size, uint64_t first,
                                        bool one_stream, decode_sink& sink);

// False makes the jobs decode sequentially from the start, as they did on one
// core: the reference the tests compare the parallel decoding with.
extern std::atomic<bool> parallel_decoding;

}  // namespace kelb
