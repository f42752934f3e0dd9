// The Bzip3 jobs. Both read their source in 32 KiB chunks, hash the
// uncompressed bytes with MD5, look at pause and cancel between chunks and
// publish their progress as a percentage. The compression makes its stream
// on the job's threads (parallel_compress.h), the decompression streams the
// file through libbzip2.
#include "bzip3.h"

#include "bzip3_header.h"
#include "debug_trace.h"
#include "engine_assert.h"
#include "job.h"
#include "longfile.h"
#include "job_pool.h"
#include "md5.h"
#include "parallel_compress.h"
#include "parallel_decompress.h"
#include "platform.h"
#include "side_thread.h"

#include <bzlib.h>

#include <cstring>
#include <system_error>
#include <vector>

namespace kelb {

namespace {

using namespace bzip3_result;

// Static, because only one job runs at a time: the compression's first
// chunk, read before the target is touched, and the decompression's pair.
unsigned char compress_input[bzip3_chunk_size];
unsigned char decompress_input[bzip3_chunk_size];
unsigned char decompress_output[bzip3_chunk_size];

int32_t clamp_level(int32_t level) { return level < 1 ? 1 : level > 9 ? 9 : level; }

void trace_digest(const unsigned char digest[16])
{
    uint32_t words[4];
    for (int i = 0; i < 4; ++i)
        words[i] = static_cast<uint32_t>(header_bytes::get_le(digest + 4 * i, 4));
    debug_trace("valor de a %x \n", words[0]);
    debug_trace("valor de b %x \n", words[1]);
    debug_trace("valor de c %x \n", words[2]);
    debug_trace("valor de d %x \n", words[3]);
}

// What one run of either job works with.
struct bzip3_job {
    const char* source;
    const char* target;
    bz_stream strm;
    md5_context md5;
    bzip3_header header;
    longfile_handle in = nullptr;
    longfile_handle out = nullptr;
    uint64_t bytes_read = 0;
    uint64_t source_size = 0;
    bool stream_ended = false;
};

struct compression : bzip3_job {
    bool target_opened = false;
};

// The files, the placeholder header and the stream.
int32_t compress_body(compression& job, int32_t level)
{
    const platform_ops& os = platform();
    debug_trace("ok \n");
    debug_trace("compression level %d \n", level);
    md5_init(&job.md5);
    memcpy(job.header.magic, bzip3_magic, 4);
    debug_trace(" using level %d\n", level);
    percent_done.store(0);

    job.source_size = longfile_size(job.source);
    job.header.attributes = os.get_file_attributes(job.source);
    debug_trace("atributo %x \n", job.header.attributes);
    if (job.header.attributes == attributes_invalid)
        job.header.attributes = attribute_archive;

    job.in = longfile_open(job.source, "rb");
    if (!job.in)
        return cannot_open_source;
    longfile_times times;
    if (!longfile_get_times(job.in, &times)) {
        // The header needs some time; now is the honest one.
        times.creation = times.last_write = longfile_now();
    }
    job.header.creation_time = times.creation;
    job.header.last_write_time = times.last_write;

    // A source that cannot be read at all fails before the target is touched.
    uint32_t n = 0;
    if (!longfile_read_some(compress_input, bzip3_chunk_size, job.in, &n))
        return cannot_open_source;

    // An existing target loses read-only, hidden and system before it is
    // replaced; a missing one makes this fail, which is fine.
    os.set_file_attributes(job.target, attribute_archive);
    job.out = longfile_open(job.target, "wb");
    if (!job.out)
        return cannot_open_target;
    job.target_opened = true;

    unsigned char head[bzip3_header_size];
    encode_bzip3_header(job.header, head);  // digest still zero
    if (longfile_write(head, bzip3_header_size, job.out) != bzip3_header_size)
        return write_failed;

    // An empty source is the header alone.
    if (n == 0)
        return result_ok;

    // The end of the file ends the stream, not the size measured before: a
    // source may have grown or shrunk since, or have no size to measure.
    bool first_read = true;
    compress_io io;
    static_assert(compress_read_size >= bzip3_chunk_size, "a chunk fits the pipeline's buffers");
    io.read = [&](unsigned char* buffer, size_t, size_t* got) {
        uint32_t count = n;
        bool read = true;
        if (first_read)
            memcpy(buffer, compress_input, n);
        else
            read = longfile_read_some(buffer, bzip3_chunk_size, job.in, &count);
        first_read = false;
        *got = count;
        job.bytes_read += count;
        return read;
    };
    io.write = [&](const unsigned char* bytes, size_t count) {
        for (size_t at = 0; at < count;) {
            uint32_t piece = static_cast<uint32_t>(count - at < bzip3_chunk_size ? count - at : bzip3_chunk_size);
            if (longfile_write(bytes + at, piece, job.out) != piece)
                return false;
            at += piece;
        }
        return true;
    };
    io.progress = [&](uint64_t done) { percent_done.store(percent_of_64(job.source_size, done)); };
    io.must_stop = job_must_stop;
    io.observe = [&](const unsigned char* bytes, size_t count) {
        md5_update(&job.md5, bytes, count);
    };
    switch (compress_stream(level, job_threads(), io)) {
    case compress_end::finished:
        job.stream_ended = true;
        return result_ok;
    case compress_end::stopped:
        return result_ok;
    case compress_end::read_failed:
        return source_ended_early;
    case compress_end::write_failed:
        return write_failed;
    case compress_end::no_compressor:
        return compress_init_failed;
    }
    return compress_init_failed;
}

// The bytes after a successful stream: the real header over the placeholder.
int32_t store_final_header(const compression& job)
{
    longfile_handle file = longfile_open(job.target, "rb+");
    if (!file)
        return cannot_open_target;
    unsigned char head[bzip3_header_size];
    encode_bzip3_header(job.header, head);
    bool written = longfile_write(head, bzip3_header_size, file) == bzip3_header_size;
    // Both must hold: a close that fails may have lost the header.
    return longfile_close(file) && written ? result_ok : write_failed;
}

struct decompression : bzip3_job {
    uint64_t skip = 0;  // decoded bytes already in the target
};

// Decompresses the chunk now in the stream's input. Returns a result code.
int32_t decompress_chunk(decompression& job)
{
    bz_stream& strm = job.strm;
    for (;;) {
        strm.next_out = reinterpret_cast<char*>(decompress_output);
        strm.avail_out = bzip3_chunk_size;
        int ret = BZ2_bzDecompress(&strm);
        uint32_t produced = bzip3_chunk_size - strm.avail_out;
        uint32_t skipped = static_cast<uint32_t>(job.skip < produced ? job.skip : produced);
        job.skip -= skipped;
        produced -= skipped;
        if (produced > 0) {
            md5_update(&job.md5, decompress_output + skipped, produced);
            if (longfile_write(decompress_output + skipped, produced, job.out) != produced)
                return write_failed;
        }
        switch (ret) {
        case BZ_OK:
            if (strm.avail_in == 0)
                return result_ok;
            // One small chunk can expand to many megabytes: pause and cancel
            // are looked at between its pieces too; the caller's check then ends it.
            if (job_must_stop())
                return result_ok;
            break;
        case BZ_STREAM_END:
            job.stream_ended = true;
            return result_ok;
        case BZ_DATA_ERROR_MAGIC:
            return not_bzip3;
        case BZ_DATA_ERROR:
            return corrupt_data;
        case BZ_MEM_ERROR:
            debug_trace("BZ_MEM_ERROR \n");
            return out_of_memory;
        default:
            assertion_failed("bzip3", "ret == BZ_OK || ret == BZ_STREAM_END || ret == BZ_DATA_ERROR_MAGIC || "
                                      "ret == BZ_DATA_ERROR || ret == BZ_MEM_ERROR");
        }
    }
}

// libbzip2's stream decoder fed the source chunk by chunk from the stream's
// start: the reference decoding, which settles every damaged, truncated or
// odd stream.
int32_t decompress_sequentially(decompression& job)
{
    for (;;) {
        if (job_must_stop())
            break;
        uint32_t n = longfile_read(decompress_input, bzip3_chunk_size, job.in);
        if (n == 0 || job.stream_ended)
            break;  // whatever follows a complete stream is not looked at
        job.bytes_read += n;
        percent_done.store(percent_of_64(job.source_size, job.bytes_read));
        job.strm.next_in = reinterpret_cast<char*>(decompress_input);
        job.strm.avail_in = n;
        int32_t result = decompress_chunk(job);
        if (result != result_ok)
            return result;
    }
    return result_ok;
}

// The decoded stream into the target and its digest.
class bzip3_target final : public decode_sink {
public:
    // The digest on a thread of its own, beside the decoding, which would
    // otherwise wait for it on every byte.
    explicit bzip3_target(decompression& job)
        : job_(job), md5_([&job](const unsigned char* data, size_t count) { md5_update(&job.md5, data, count); }),
          held_(bzip3_chunk_size, [this](const unsigned char* data, size_t count) {
              md5_.add(data, count);
              return longfile_write(data, static_cast<uint32_t>(count), job_.out) == count;
          })
    {
    }

    bool write(const unsigned char* data, size_t count) override { return held_.write(data, count); }
    bool stream_verified() override
    {
        written_ += held_.given();
        return held_.stream_whole();
    }
    void consumed(uint64_t offset) override
    {
        job_.bytes_read = offset - bzip3_header_size;
        percent_done.store(percent_of_64(job_.source_size, job_.bytes_read));
    }
    // The bytes in the target.
    uint64_t written() const { return written_ + held_.written(); }
    // Once the digest has all the bytes written.
    void finish() { md5_.finish(); }

private:
    decompression& job_;
    side_thread md5_;
    held_back_output held_;
    uint64_t written_ = 0;  // of streams that were whole
};

// The stream after the header, on all the job's workers as far as they can
// take it, then sequentially from its start.
int32_t decompress_stream(decompression& job)
{
    if (!parallel_decoding.load())
        return decompress_sequentially(job);
    bzip3_target sink(job);
    auto read = [&](unsigned char* buffer, size_t count, bool* failed) {
        *failed = false;  // a failed read ends the source, as it does sequentially
        return static_cast<size_t>(longfile_read(buffer, static_cast<uint32_t>(count), job.in));
    };
    parallel_outcome outcome = decompress_in_parallel(read, bzip3_chunk_size, bzip3_header_size, true, sink);
    sink.finish();
    switch (outcome.how) {
    case parallel_outcome::finished:
        job.stream_ended = outcome.any_stream;
        return result_ok;
    case parallel_outcome::stopped:
        return result_ok;
    case parallel_outcome::write_failed:
        return write_failed;
    case parallel_outcome::handed_over:
        break;
    }
    // What is in the target already is not written twice.
    job.skip = sink.written();
    job.bytes_read = 0;
    longfile_close(job.in);
    job.in = longfile_open(job.source, "rb");
    unsigned char head[bzip3_header_size];
    if (!job.in || longfile_read(head, bzip3_header_size, job.in) < bzip3_header_size)
        return result_ok;  // a source that can no longer be read fails the digest
    return decompress_sequentially(job);
}

// From the ready decompressor to the digest check.
int32_t decompress_body(decompression& job)
{
    const platform_ops& os = platform();
    job_paused.store(0);
    job_cancel.store(0);
    md5_init(&job.md5);
    percent_done.store(0);

    job.source_size = longfile_size(job.source);
    job.in = longfile_open(job.source, "rb");
    if (!job.in)
        return cannot_open_source;
    // Before the header is read: a target that is read-only or hidden
    // could not be replaced otherwise.
    os.set_file_attributes(job.target, attribute_archive);

    unsigned char head[bzip3_header_size];
    if (longfile_read(head, bzip3_header_size, job.in) < bzip3_header_size)
        return not_bzip3;
    decode_bzip3_header(head, &job.header);
    if (!has_bzip3_magic(job.header))
        return not_bzip3;

    job.out = longfile_open(job.target, "wb");
    if (!job.out)
        return cannot_open_target;

    int32_t result = decompress_stream(job);
    if (result != result_ok)
        return result;

    // Whatever the source measured: a bare header is an empty file only when
    // its digest is that of empty input.
    unsigned char digest[16];
    md5_final(&job.md5, digest);
    if (memcmp(digest, job.header.digest, sizeof digest) != 0) {
        debug_trace("error de md5 \n");
        return checksum_mismatch;
    }
    return result_ok;
}

}  // namespace

int32_t compress_bzip3_file(const char* source, const char* target, int32_t level)
{
    debug_trace("%s\n%s \n", source, target);
    debug_trace("Level %d \n", level);
    begin_job();
    level = clamp_level(level);

    compression job;
    job.source = source;
    job.target = target;
    memset(&job.header, 0, sizeof job.header);

    int32_t result = compress_body(job, level);

    md5_final(&job.md5, job.header.digest);
    trace_digest(job.header.digest);
    if (job.bytes_read != 0 && result == result_ok && !job.stream_ended && !job_cancel.load())
        result = source_ended_early;
    percent_done.store(100);
    if (job.in)
        longfile_close(job.in);
    // The target's last data may be lost when its close fails.
    if (job.out && !longfile_close(job.out) && result == result_ok)
        result = write_failed;
    if (result == result_ok)
        result = store_final_header(job);

    if (job_cancel.load()) {
        result = cancelled;
        // Only a file this job wrote is removed; a target it never opened
        // belongs to someone else.
        if (job.target_opened)
            platform().delete_file(target);
    }
    debug_trace("retvalue=%d sizeof(kel) %d\n", result, static_cast<int>(bzip3_header_size));
    return result;
}

int32_t decompress_bzip3_file(const char* source, const char* target)
{
    decompression job;
    job.source = source;
    job.target = target;
    memset(&job.strm, 0, sizeof job.strm);
    memset(&job.header, 0, sizeof job.header);
    job_running.store(1);

    // The fast decompressor; pause and cancel are cleared only once it is ready.
    bool ready = BZ2_bzDecompressInit(&job.strm, 0, 0) == BZ_OK;
    int32_t result = ready ? decompress_body(job) : decompress_init_failed;

    // Stream bytes that never reach the stream's end, however the size measured.
    if (job.bytes_read > 0 && !job.stream_ended && result == result_ok)
        result = stream_unfinished;
    percent_done.store(100);
    if (job.in)
        longfile_close(job.in);
    if (job.out) {
        // On the open handle, after the last write: closing must not touch them again.
        if (result == result_ok)
            longfile_set_times(job.out, longfile_times{job.header.creation_time, job.header.last_write_time});
        if (!longfile_close(job.out) && result == result_ok)
            result = write_failed;
    }
    if (job_cancel.load())
        result = cancelled;
    else if (result == result_ok)
        platform().set_file_attributes(target, job.header.attributes);
    debug_trace("retvalue=%d \n", result);

    if (ready)
        KELB_ASSERT("bzip3", BZ_OK == BZ2_bzDecompressEnd (&job.strm));
    return result;
}

}  // namespace kelb
