// The decompression jobs on all cores against the same jobs decoding
// sequentially, as they did on one core: the same code and the same bytes for
// every file, good or damaged, with one worker and with four.
#include "block_decoder.h"
#include "block_scanner.h"
#include "bzip3_header.h"
#include "job_pool.h"
#include "jobs.h"
#include "md5.h"
#include "parallel_decompress.h"
#include "test_support.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

std::string bzip2_of(const std::string& data, int level)
{
    unsigned size = static_cast<unsigned>(data.size() + data.size() / 50 + 1024);
    std::string out(size, '\0');
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(data.data()),
                                       static_cast<unsigned>(data.size()), level, 0, 30), BZ_OK);
    out.resize(size);
    return out;
}

// Bytes whose sets of values put both magics into every block's table of the
// values used (16 bits per used sixteen): the end magic by the sixteens 1 to
// 3, the block magic by 4 to 6.
std::string planted_magics(size_t size)
{
    const uint16_t maps[6] = {0x1772, 0x4538, 0x5090, 0x3141, 0x5926, 0x5359};
    std::string values;
    for (int r = 0; r < 6; ++r)
        for (int j = 0; j < 16; ++j)
            if (maps[r] & (0x8000 >> j))
                values += static_cast<char>(16 * (r + 1) + j);
    std::string data(size, '\0');
    uint32_t seed = 12345;
    for (char& c : data) {
        seed = seed * 1103515245 + 12345;
        c = values[(seed >> 16) % values.size()];
    }
    return data;
}

std::vector<kelb::magic_found> magics_of(const std::string& file)
{
    std::vector<kelb::magic_found> found;
    kelb::find_magics(reinterpret_cast<const unsigned char*>(file.data()), file.size(), 0, 0, true, found);
    return found;
}

struct input {
    std::string name, bytes;
    bool whole;  // well-formed to its end: no part of it needs the sequential decoding
};

std::vector<input> inputs()
{
    std::vector<input> files;
    for (const char* name : {"text.txt.1.bz2", "binary.bin.5.bz2", "random.bin.9.bz2", "empty.txt.9.bz2",
                             "sample1.bz2", "sample3.bz2", "concat.bz2", "empty-streams.bz2"})
        files.push_back({name, read_file(fixture(name)), true});
    for (const char* name : {"trailing-garbage.bz2", "corrupt.bz2", "truncated.bz2", "short.bz2"})
        files.push_back({name, read_file(fixture(name)), false});
    // The peer corpus, but for its two bombs, which its own test restores.
    for (auto& entry : fs::directory_iterator(fs::path(peer_file("expected.tsv")).parent_path()))
        if (entry.path().extension() == ".bz2" && entry.path().filename() != "ch255.bz2" &&
            entry.path().filename() != "idx899999.bz2")
            files.push_back({entry.path().filename().string(), read_file(entry.path().string()), false});
    std::string binary = read_file(fixture("binary.bin")).substr(0, 300000);
    for (int level = 1; level <= 9; level += 2)
        files.push_back({"binary at " + std::to_string(level), bzip2_of(binary, level), true});
    // Long runs: a level-9 block of them expands to megabytes, more than a worker may hold.
    files.push_back({"runs", bzip2_of(std::string(3000000, 'a') + binary.substr(0, 100000) + std::string(1000000, '\0'), 9), true});
    // Magics on the joins of the stretches the source is read in.
    std::string streams;
    for (int i = 0; i < 20000; ++i)
        streams += read_file(fixture("empty.txt.9.bz2"));
    files.push_back({"many empty streams", streams, true});
    // Several streams, one with false magics in every block, then that file
    // damaged, cut short, or followed by bytes that only look like a stream.
    std::string multi = bzip2_of(planted_magics(700000), 1) + read_file(fixture("empty.txt.9.bz2")) +
                        read_file(fixture("text.txt.9.bz2"));
    files.push_back({"streams", multi, true});
    for (int i = 1; i <= 6; ++i) {
        size_t at = multi.size() * i / 7 + i;
        files.push_back({"cut at " + std::to_string(at), multi.substr(0, at), false});
        std::string flipped = multi;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << i % 8));
        files.push_back({"flipped at " + std::to_string(at), flipped, false});
    }
    for (const char* tail : {"BZ", "BZh9", "BZh0", "BZh91AY&SY", "BZh9\x17rE8P\x90", "not bzip2"})
        files.push_back({std::string("followed by ") + tail, multi + tail, false});
    return files;
}

// The pipeline alone, from memory into memory.
struct memory_sink : kelb::decode_sink {
    bool write(const unsigned char* data, size_t count) override
    {
        bytes.append(reinterpret_cast<const char*>(data), count);
        return true;
    }
    bool stream_verified() override { return true; }
    void consumed(uint64_t offset) override
    {
        in_order = in_order && offset >= done;
        done = offset;
    }
    std::string bytes;
    uint64_t done = 0;
    bool in_order = true;
};

class ParallelDecompress : public testing::Test {
protected:
    void TearDown() override
    {
        kelb::parallel_decoding.store(true);
        kelb::job_threads_setting.store(0);
    }
    std::pair<int32_t, std::string> run(bool bzip3, const std::string& source)
    {
        std::string target = dir + "/out";
        int32_t code = bzip3 ? kelb::decompress_bzip3_file(source.c_str(), target.c_str())
                             : kelb::decompress_bzip2_file(source.c_str(), target.c_str());
        std::string bytes = file_exists(target) ? read_file(target) : "(none)";
        fs::remove(target);
        return {code, bytes};
    }
    // The file behind a Bzip3 header with the digest of `bytes`.
    static std::string wrapped(const std::string& file, const std::string& bytes)
    {
        kelb::bzip3_header header{};
        memcpy(header.magic, kelb::bzip3_magic, 4);
        kelb::md5_context md5;
        kelb::md5_init(&md5);
        kelb::md5_update(&md5, bytes.data(), bytes.size());
        kelb::md5_final(&md5, header.digest);
        unsigned char head[kelb::bzip3_header_size];
        kelb::encode_bzip3_header(header, head);
        return std::string(reinterpret_cast<char*>(head), sizeof head) + file;
    }
    std::string dir = scratch_dir();
};

}  // namespace

TEST_F(ParallelDecompress, EveryFileGivesTheSequentialCodeAndBytes)
{
    std::string source = dir + "/in";
    for (auto& [name, file, whole] : inputs()) {
        for (bool bzip3 : {false, true}) {
            SCOPED_TRACE(name + (bzip3 ? " behind a Bzip3 header" : ""));
            kelb::parallel_decoding.store(false);
            write_file(source, file);
            auto expected = run(false, source);
            if (bzip3) {
                write_file(source, wrapped(file, expected.second));
                expected = run(true, source);
            }
            kelb::parallel_decoding.store(true);
            for (int threads : {1, 4}) {
                kelb::job_threads_setting.store(threads);
                auto got = run(bzip3, source);
                EXPECT_EQ(got.first, expected.first) << threads << " workers";
                EXPECT_TRUE(got.second == expected.second) << threads << " workers";
            }
            if (bzip3)
                continue;
            // Whatever the pipeline finishes alone is the sequential output; a
            // well-formed file it finishes alone, to its last byte.
            memory_sink sink;
            size_t at = 0;
            auto read = [&](unsigned char* buffer, size_t count, bool* failed) {
                *failed = false;
                count = std::min(count, file.size() - at);
                memcpy(buffer, file.data() + at, count);
                at += count;
                return count;
            };
            kelb::parallel_outcome alone = kelb::decompress_in_parallel(read, 4096, 0, false, sink);
            if (whole) {
                EXPECT_EQ(alone.how, kelb::parallel_outcome::finished);
                EXPECT_EQ(sink.done, file.size());
            }
            if (alone.how == kelb::parallel_outcome::finished && expected.first != 14) {  // 14: refused unread
                EXPECT_TRUE(sink.bytes == expected.second);
            }
            EXPECT_TRUE(sink.in_order);
        }
    }
}

TEST_F(ParallelDecompress, MagicsAreFoundAtEveryBitAndAcrossCallsButNotWithinBlocks)
{
    std::string noise = planted_magics(64);
    for (uint64_t magic : {kelb::bzip2_block_magic, kelb::bzip2_end_magic}) {
        for (uint64_t bit = 8 * 20; bit < 8 * 22; ++bit) {
            std::string data = noise;
            for (int k = 0; k < 48; ++k) {
                unsigned char& byte = reinterpret_cast<unsigned char&>(data[(bit + k) / 8]);
                byte = static_cast<unsigned char>((byte & ~(0x80 >> (bit + k) % 8)) |
                                                  ((magic >> (47 - k) & 1) << 7 >> (bit + k) % 8));
            }
            auto bytes = reinterpret_cast<const unsigned char*>(data.data());
            // Looked for whole, and in two calls split anywhere near it.
            for (size_t split = 12; split <= 32; ++split) {
                std::vector<kelb::magic_found> found;
                size_t next = kelb::find_magics(bytes, split, 0, 0, false, found);
                kelb::find_magics(bytes, data.size(), next, 0, true, found);
                ASSERT_EQ(found.size(), 1u) << bit << " " << split;
                EXPECT_EQ(found[0].bit, bit);
                EXPECT_EQ(found[0].end, magic == kelb::bzip2_end_magic);
            }
        }
    }
    // The planted magics are there, or the "streams" above would not show that they are joined over.
    size_t ends = 0;
    for (auto& m : magics_of(bzip2_of(planted_magics(700000), 1)))
        ends += m.end;
    EXPECT_GE(ends, 8u);  // one true, and one false in each of the 7 blocks
}

namespace {

struct decoded {
    std::string bytes;
    bool good;
};

// The block at bits [first, end) of file through our own decoder; false
// when it leaves the block to libbzip2.
bool own_decode(const std::string& file, uint64_t first, uint64_t end, decoded& out)
{
    static std::vector<uint32_t> table(900000);
    kelb::block_decoder own;
    auto source = [&](uint64_t byte, size_t count, unsigned char* to) { memcpy(to, file.data() + byte, count); };
    if (!own.read(first, end, file[3] - '0', table.data(), source))
        return false;
    unsigned char piece[1000];
    out.bytes.clear();
    while (size_t n = own.write(piece, sizeof piece))
        out.bytes.append(reinterpret_cast<char*>(piece), n);
    out.good = own.good();
    return true;
}

// libbzip2 on a whole stream: what it gives before it ends or fails. Its
// small-memory decoding shows every byte, where the fast one may hide those
// of its last call when it fails.
decoded libbzip2_decode(const std::string& file)
{
    bz_stream strm{};
    BZ2_bzDecompressInit(&strm, 0, 1);
    strm.next_in = const_cast<char*>(file.data());
    strm.avail_in = static_cast<unsigned>(file.size());
    decoded out{"", false};
    char piece[4096];
    int ret;
    do {
        strm.next_out = piece;
        strm.avail_out = sizeof piece;
        ret = BZ2_bzDecompress(&strm);
        out.bytes.append(piece, sizeof piece - strm.avail_out);
    } while (ret == BZ_OK && (strm.avail_out == 0 || strm.avail_in > 0));
    out.good = ret == BZ_STREAM_END;
    BZ2_bzDecompressEnd(&strm);
    return out;
}

}  // namespace

TEST_F(ParallelDecompress, OurBlockDecoderTakesEveryBlockAndGivesLibbzip2sBytes)
{
    std::string binary = read_file(fixture("binary.bin")).substr(0, 300000);
    std::string runs = std::string(5000, 'a') + "abcd" + std::string(259, 'b') + std::string(4, 'c') + binary.substr(0, 2000);
    std::vector<std::string> files = {read_file(fixture("text.txt.9.bz2")), read_file(fixture("random.bin.9.bz2")),
                                      read_file(fixture("chunk4096.bin.5.bz2")), bzip2_of(runs, 1)};
    for (int level = 1; level <= 9; level += 4)
        files.push_back(bzip2_of(binary, level));
    for (const std::string& file : files) {
        auto found = magics_of(file);
        std::string all;
        for (size_t i = 0; i + 1 < found.size(); ++i) {
            decoded block;
            ASSERT_TRUE(own_decode(file, found[i].bit, found[i + 1].bit, block)) << i;
            EXPECT_TRUE(block.good) << i;
            all += block.bytes;
        }
        EXPECT_TRUE(all == libbzip2_decode(file).bytes);
    }
}

TEST_F(ParallelDecompress, OurBlockDecoderNeverGivesWhatLibbzip2WouldNot)
{
    // Every bit of a one-block stream flipped in turn, its tables and codes
    // included: whatever our decoder takes, it decodes as libbzip2 does, and
    // what it gives before it fails, libbzip2 gives too.
    std::string data = std::string(300, 'x') + "ab" + std::string(4, 'y') + "the quick brown fox";
    for (int i = 0; i < 40; ++i)
        data += std::to_string(i * 7919) + std::string(i % 9, 'z');
    std::string file = bzip2_of(data, 1);
    auto found = magics_of(file);
    ASSERT_EQ(found.size(), 2u);
    int taken = 0, good = 0;
    for (uint64_t bit = 32 + 48; bit < found[1].bit; ++bit) {
        std::string flipped = file;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (0x80 >> bit % 8));
        decoded own;
        if (!own_decode(flipped, 32, found[1].bit, own))
            continue;
        ++taken;
        decoded reference = libbzip2_decode(flipped);
        SCOPED_TRACE(bit);
        good += own.good;
        EXPECT_EQ(own.good, reference.good);
        EXPECT_TRUE(own.good ? own.bytes == reference.bytes : reference.bytes.compare(0, own.bytes.size(), own.bytes) == 0);
    }
    // The flips it took and failed on after giving output, and the ones a
    // code's spare room let through, are what this looks at.
    EXPECT_GT(taken, good);
    EXPECT_GT(taken, 100);
}
