// The bzip2 file jobs: a whole file into one standard bzip2 stream, and a
// bzip2 file (one stream or several in a row) back into its bytes. Both read
// the source through the C library's streams in 4096-byte chunks; the
// compression's blocks are made on the job's threads and written through the
// C stream, the decompression goes through libbzip2's file layer.
#include "jobs.h"

#include "job.h"
#include "job_pool.h"
#include "parallel_compress.h"
#include "parallel_decompress.h"
#include "platform.h"

#include <bzlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace kelb {

namespace {

constexpr int chunk_size = 4096;

constexpr int32_t cannot_open_source = 8;
constexpr int32_t cannot_open_target = 9;
constexpr int32_t compressed_write_failed = 10;
constexpr int32_t damaged_file = 13;
constexpr int32_t not_bzip2 = 14;
constexpr int32_t data_error = 15;
constexpr int32_t target_write_failed = 114;

// Files larger than this that yield no data at all are taken as damaged.
constexpr int64_t damaged_threshold = 100;

// The mode text as libbzip2's own file layer reads it: "w" writes, the last
// digit is the block size (9 without one, 0 counts as 1).
struct write_mode {
    bool writing = false;
    int block_size = 9;
};

write_mode parse_mode(const char* mode)
{
    write_mode parsed;
    for (const char* c = mode; *c; ++c) {
        if (*c == 'w')
            parsed.writing = true;
        else if (*c == 'r')
            parsed.writing = false;
        else if (isdigit(static_cast<unsigned char>(*c)))
            parsed.block_size = *c - '0';
    }
    if (parsed.block_size < 1)
        parsed.block_size = 1;
    return parsed;
}

bool starts_like_bzip2(const unsigned char* head, size_t length)
{
    return length >= 3 && memcmp(head, "BZh", 3) == 0;
}

// The decoded streams into the target.
class bzip2_target final : public decode_sink {
public:
    explicit bzip2_target(FILE* out)
        : held_(chunk_size, [out](const unsigned char* data, size_t count) {
              return platform().stream_write(data, count, out) == count;
          })
    {
    }

    bool write(const unsigned char* data, size_t count) override { return held_.write(data, count); }
    bool stream_verified() override
    {
        data_seen_ = data_seen_ || held_.given() > 0;
        return held_.stream_whole();
    }
    void consumed(uint64_t offset) override { bytes_done.store(static_cast<int64_t>(offset)); }

    // Of the stream now being decoded, the bytes in the target.
    uint64_t written_of_stream() const { return held_.written(); }
    // Whether a whole stream gave any data.
    bool data_seen() const { return data_seen_; }

private:
    held_back_output held_;
    bool data_seen_ = false;
};

struct stream_position {
    uint64_t start;    // its first byte in the source
    int number;        // 1 for the first stream
    uint64_t written;  // its bytes already in the target
};

// libbzip2's file layer, stream after stream, from the stream at `from` to
// the end: the reference decoding, which settles every damaged, truncated or
// odd file. The layer reads the source in runs of BZ_MAX_UNUSED bytes from
// its start, and where damage shows depends on what it has read: the same
// runs are read here.
int32_t decompress_sequentially(const char* source, FILE* out, const stream_position& from, bool& data_seen,
                                bool& stopped)
{
    const platform_ops& os = platform();
    FILE* in = os.stream_open(source, "rb");
    if (!in)
        return cannot_open_source;
    unsigned char leftover[BZ_MAX_UNUSED];
    size_t run = 0;
    for (uint64_t i = 0; i <= from.start / BZ_MAX_UNUSED; ++i) {
        run = os.stream_read(leftover, BZ_MAX_UNUSED, in);
        if (os.stream_failed(in)) {
            os.stream_close(in);
            return cannot_open_source;
        }
    }
    size_t offset = static_cast<size_t>(from.start % BZ_MAX_UNUSED);
    int unused_count = run > offset ? static_cast<int>(run - offset) : 0;
    memmove(leftover, leftover + offset, static_cast<size_t>(unused_count));

    int32_t result = result_ok;
    int bzerr = BZ_OK;
    int stream_number = from.number;
    uint64_t skip = from.written;
    BZFILE* bz = BZ2_bzReadOpen(&bzerr, in, 0, 0, leftover, unused_count);
    if (!bz)
        result = stream_number == 1 ? cannot_open_source : data_error;

    // Streams follow one another until the file ends; bytes after a complete
    // stream that do not start another one are ignored, as bzip2 does.
    char buffer[chunk_size];
    while (bz) {
        int n = BZ2_bzRead(&bzerr, bz, buffer, chunk_size);
        if (bzerr == BZ_DATA_ERROR_MAGIC && stream_number > 1)
            break;
        if (bzerr == BZ_IO_ERROR) {
            // The source could not be read: that is not damaged data.
            result = cannot_open_source;
            break;
        }
        if (bzerr != BZ_OK && bzerr != BZ_STREAM_END) {
            result = data_error;
            break;
        }
        // Progress is the share of the compressed source consumed: what comes
        // out of a well-compressed file says little about how far the job is.
        int64_t consumed = os.stream_tell(in);
        if (consumed >= 0)
            bytes_done.store(consumed);
        if (n > 0)
            data_seen = true;
        // Every pass, data or not: a file of many empty streams yields none.
        if (job_must_stop()) {
            stopped = true;
            bytes_done.store(bytes_total.load());
            break;
        }
        size_t skipped = static_cast<size_t>(std::min<uint64_t>(skip, static_cast<uint64_t>(n)));
        skip -= skipped;
        size_t rest = static_cast<size_t>(n) - skipped;
        if (rest > 0 && os.stream_write(buffer + skipped, rest, out) != rest) {
            result = target_write_failed;
            break;
        }
        if (bzerr != BZ_STREAM_END)
            continue;

        void* unused = nullptr;
        unused_count = 0;
        BZ2_bzReadGetUnused(&bzerr, bz, &unused, &unused_count);
        memcpy(leftover, unused, static_cast<size_t>(unused_count));
        BZ2_bzReadClose(&bzerr, bz);
        bz = nullptr;
        skip = 0;
        if (unused_count == 0) {
            int c = fgetc(in);
            if (c == EOF) {
                if (ferror(in))
                    result = cannot_open_source;
                break;
            }
            ungetc(c, in);
        }
        bz = BZ2_bzReadOpen(&bzerr, in, 0, 0, leftover, unused_count);
        if (!bz)
            result = data_error;
        ++stream_number;
    }
    if (bz)
        BZ2_bzReadClose(&bzerr, bz);
    os.stream_close(in);
    return result;
}

}  // namespace

int32_t compress_bzip2_file(const char* source, const char* target, const char* mode)
{
    const platform_ops& os = platform();
    begin_job();
    os.set_file_attributes(target, attribute_archive);

    FILE* in = os.stream_open(source, "rb");
    if (!in)
        return cannot_open_source;
    bytes_total.store(os.stream_size(in));
    os.stream_close(in);

    in = os.stream_open(source, "rb");
    if (!in)
        return cannot_open_source;
    bytes_done.store(0);

    write_mode parsed = parse_mode(mode);
    FILE* out = parsed.writing ? os.stream_open(target, "wb") : nullptr;
    if (!out) {
        os.stream_close(in);
        return cannot_open_target;
    }

    compress_io io;
    io.read = [&](unsigned char* buffer, size_t capacity, size_t* n) {
        *n = os.stream_read(buffer, capacity < chunk_size ? capacity : chunk_size, in);
        // A failed read must not pass for the end of the file.
        return *n > 0 || !os.stream_failed(in);
    };
    io.write = [&](const unsigned char* bytes, size_t n) { return os.stream_write(bytes, n, out) == n; };
    io.progress = [](uint64_t done) { bytes_done.store(static_cast<int64_t>(done)); };
    io.must_stop = job_must_stop;
    compress_end end = compress_stream(parsed.block_size, job_threads(), io);

    int32_t result = result_ok;
    switch (end) {
    case compress_end::finished:
    case compress_end::stopped:
        break;
    case compress_end::read_failed:
        result = cannot_open_source;
        break;
    case compress_end::write_failed:
        result = compressed_write_failed;
        break;
    case compress_end::no_compressor:
        // As when libbzip2 cannot take on the target at all.
        result = cannot_open_target;
        break;
    }
    if (end == compress_end::stopped)
        bytes_done.store(bytes_total.load());
    bool closed = os.stream_close(out);
    os.stream_close(in);
    if (end == compress_end::no_compressor)
        os.delete_file(target);
    if (end == compress_end::finished && !closed)
        result = compressed_write_failed;

    if (result == result_ok && job_cancel.load()) {
        result = result_cancelled;
        os.delete_file(target);
    }
    return result;
}

int32_t decompress_bzip2_file(const char* source, const char* target)
{
    const platform_ops& os = platform();
    begin_job();
    os.set_file_attributes(target, attribute_archive);

    FILE* in = os.stream_open(source, "rb");
    if (!in)
        return cannot_open_source;
    unsigned char head[4];
    size_t head_length = os.stream_read(head, sizeof head, in);
    if (!starts_like_bzip2(head, head_length)) {
        bool failed = os.stream_failed(in);
        os.stream_close(in);
        return failed ? cannot_open_source : not_bzip2;
    }
    bytes_total.store(os.stream_size(in));
    os.stream_close(in);
    bytes_done.store(0);

    FILE* out = os.stream_open(target, "wb");
    if (!out)
        return cannot_open_target;
    in = os.stream_open(source, "rb");
    if (!in) {
        os.stream_close(out);
        return cannot_open_source;
    }

    bzip2_target sink(out);
    parallel_outcome outcome;
    outcome.how = parallel_outcome::handed_over;
    if (parallel_decoding.load()) {
        auto read = [&](unsigned char* buffer, size_t count, bool* failed) {
            size_t n = os.stream_read(buffer, count, in);
            *failed = n < count && os.stream_failed(in);
            return n;
        };
        outcome = decompress_in_parallel(read, chunk_size, 0, false, sink);
    }
    os.stream_close(in);

    int32_t result = result_ok;
    bool data_seen = false;
    bool stopped = false;
    switch (outcome.how) {
    case parallel_outcome::finished:
        break;
    case parallel_outcome::stopped:
        stopped = true;
        bytes_done.store(bytes_total.load());
        break;
    case parallel_outcome::write_failed:
        result = target_write_failed;
        break;
    case parallel_outcome::handed_over:
        result = decompress_sequentially(
            source, out, {outcome.stream_start, outcome.stream_number, sink.written_of_stream()}, data_seen, stopped);
        break;
    }
    data_seen = data_seen || sink.data_seen();
    // Buffered output that cannot be written out is lost output.
    if (!os.stream_close(out) && result == result_ok)
        result = target_write_failed;

    if (result == result_ok) {
        // A job stopped part-way cannot tell that no data would have come.
        if (bytes_total.load() > damaged_threshold && !data_seen && !stopped)
            result = damaged_file;
        else if (job_cancel.load())
            result = result_cancelled;
    }
    return result;
}

}  // namespace kelb
