// The engine's parts behind interface1: both decompression jobs on all cores against the same jobs
// decoding sequentially, the block scanner and decoder, progress, the job pool and the processor answers.
#include "block_decoder.h"
#include "block_scanner.h"
#include "digest.h"
#include "job.h"
#include "job_pool.h"
#include "jobs.h"
#include "md5.h"
#include "parallel_decompress.h"
#include "platform.h"
#include "processor.h"
#include "test_support.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sstream>

using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

std::string bzip2_of(const std::string& data, int level)
{
    unsigned size = static_cast<unsigned>(data.size() + data.size() / 50 + 1024);
    std::string out(size, '\0');
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(data.data()), static_cast<unsigned>(data.size()),
                                       level, 0, 30), BZ_OK);
    return out.substr(0, size);
}

// Bytes whose sets of values put both magics into every block's table of the
// values used: the end magic by the sixteens 1 to 3, the block magic by 4 to 6.
std::string planted_magics(size_t size)
{
    const uint16_t maps[6] = {0x1772, 0x4538, 0x5090, 0x3141, 0x5926, 0x5359};
    std::string values, data(size, '\0');
    for (int r = 0; r < 6; ++r)
        for (int j = 0; j < 16; ++j)
            if (maps[r] & (0x8000 >> j))
                values += static_cast<char>(16 * (r + 1) + j);
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
    std::string bytes;
    bool whole;        // well-formed to its end
    std::string tool = "";  // for the peer corpus, the MD5 of what the bzip2 tool restores, or "rejected"
};

std::vector<input> inputs()
{
    std::vector<input> files;
    for (const char* name : {"text.txt.1.bz2", "random.bin.9.bz2", "sample1.bz2", "concat.bz2", "empty-streams.bz2"})
        files.push_back({read_file(fixture(name)), true});
    for (const char* name : {"trailing-garbage.bz2", "corrupt.bz2", "truncated.bz2", "short.bz2"})
        files.push_back({read_file(fixture(name)), false});
    // The peer corpus but for its two bombs, which its own test restores.
    std::istringstream table(read_file(peer_file("expected.tsv")));
    std::string line, file, expect, bytes, md5;
    std::getline(table, line);
    while (table >> file >> expect >> bytes >> md5) {
        if (file != "ch255.bz2" && file != "idx899999.bz2")
            files.push_back({read_file(peer_file(file)), false, expect == "ok" ? unhex(md5) : expect});
    }
    std::string binary = read_file(fixture("binary.bin")).substr(0, 300000);
    for (int level = 1; level <= 9; level += 4)
        files.push_back({bzip2_of(binary, level), true});
    // A level-9 block that expands to tens of megabytes, far more than a worker may hold.
    files.push_back({bzip2_of(std::string(8000000, 'a') + binary.substr(0, 100000) + std::string(4000000, 0), 9), true});
    // Magics on the joins of the stretches the source is read in.
    std::string streams, empty = read_file(fixture("empty.txt.9.bz2"));
    for (int i = 0; i < 20000; ++i)
        streams += empty;
    files.push_back({streams, true});
    // Several streams, one with false magics in every block, then damaged,
    // cut short, or followed by bytes that only look like a stream.
    std::string multi = bzip2_of(planted_magics(700000), 1) + empty + read_file(fixture("text.txt.9.bz2"));
    files.push_back({multi, true});
    size_t ends = 0;  // three true ones, and a false one in each of the 7 planted blocks
    for (auto& m : magics_of(multi))
        ends += m.end;
    EXPECT_GE(ends, 10u);
    for (int i = 1; i <= 6; ++i) {
        size_t at = multi.size() * i / 7 + i;
        files.push_back({multi.substr(0, at), false});
        files.push_back({multi, false});
        files.back().bytes[at] ^= static_cast<char>(1 << i % 8);
    }
    for (const char* tail : {"BZ", "BZh9", "BZh0", "BZh91AY&SY", "BZh9\x17rE8P\x90", "not bzip2"})
        files.push_back({multi + tail, false});
    // Found by the fuzzer: a damaged block that libbzip2, given it alone, decodes on past its end, into
    // 800 KB that begin otherwise than the whole file's.
    files.push_back({unhex("425a683131415926535951137d0b000000040030002000a010502b3141592653593e39032700009f0400300020"
                           "0080148a0604425a683131415926535951137d0b000000040030002000a010502b3141592653593e39032700"
                           "009f04003000200080148a060494169416040494171772453894171772453850909c1ff950909c1ff93131"),
                     false});
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

}  // namespace

TEST(ParallelDecompress, EveryFileGivesTheSequentialCodeAndBytes)
{
    std::string source = scratch_dir() + "/in", target = source + ".out";
    auto run = [&](bool bzip3, bool parallel, int threads) {
        kelb::parallel_decoding.store(parallel);
        kelb::job_threads_setting.store(threads);
        int32_t code = (bzip3 ? kelb::decompress_bzip3_file : kelb::decompress_bzip2_file)(source.c_str(), target.c_str());
        std::pair<int32_t, std::string> outcome{code, file_exists(target) ? read_file(target) : "(none)"};
        fs::remove(target);
        return outcome;
    };
    int n = 0;
    for (auto& [file, whole, tool] : inputs()) {
        SCOPED_TRACE("input " + std::to_string(n++));
        write_file(source, file);
        auto expected = run(false, false, 0);
        if (!tool.empty()) {
            EXPECT_EQ(expected.first != 0, tool == "rejected");
            EXPECT_TRUE(tool == "rejected" || md5_of(expected.second) == tool);
        }
        // Whatever the pipeline finishes alone is the sequential output; a
        // well-formed file it finishes alone, to its last byte.
        memory_sink sink;
        size_t at = 0;
        auto read = [&, &file = file](unsigned char* buffer, size_t count, bool* failed) {
            *failed = false;
            count = std::min(count, file.size() - at);
            memcpy(buffer, file.data() + at, count);
            at += count;
            return count;
        };
        kelb::parallel_outcome alone = kelb::decompress_in_parallel(read, 4096, 0, false, sink);
        EXPECT_TRUE(!whole || (alone.how == kelb::parallel_outcome::finished && sink.done == file.size()));
        EXPECT_TRUE(alone.how != kelb::parallel_outcome::finished || expected.first == 14 || sink.bytes == expected.second);
        EXPECT_TRUE(sink.in_order);
        for (bool bzip3 : {false, true}) {
            if (bzip3) {  // behind a header with the digest of the sequential output
                write_file(source, behind_bzip3_header(md5_of(expected.second), file));
                expected = run(true, false, 0);
            }
            for (int threads : {1, 4})
                EXPECT_TRUE(run(bzip3, true, threads) == expected) << threads << " workers, Bzip3 " << bzip3;
        }
    }
    kelb::parallel_decoding.store(true);
    kelb::job_threads_setting.store(0);
}

// Our decoder takes every block of well-formed streams. With any bit of a one-block stream flipped, what
// it takes it decodes as libbzip2 does, and it calls good only what libbzip2 takes.
TEST(BlockDecoder, TakesEveryBlockAndNeverGivesWhatLibbzip2WouldNot)
{
    std::vector<uint32_t> table(900000);
    std::string out;
    auto decode = [&](const std::string& file, uint64_t first, uint64_t end) {
        kelb::block_decoder own;
        auto source = [&](uint64_t at, size_t count, unsigned char* to) { memcpy(to, file.data() + at, count); };
        if (!own.read(first, end, file[3] - '0', table.data(), source))
            return -1;  // left to libbzip2
        unsigned char piece[1000];
        for (out.clear(); size_t n = own.write(piece, sizeof piece);)
            out.append(reinterpret_cast<char*>(piece), n);
        return own.good() ? 1 : 0;
    };
    std::string binary = read_file(fixture("binary.bin")).substr(0, 300000);
    std::vector<std::string> plain = {read_file(fixture("text.txt")), read_file(fixture("random.bin")), binary,
                                      read_file(fixture("chunk4096.bin")),
                                      std::string(5000, 'a') + "abcd" + std::string(259, 'b') + "cccc" + binary.substr(0, 2000)};
    for (const std::string& data : plain)
        for (int level : {1, 5, 9}) {
            std::string file = bzip2_of(data, level), all;
            auto found = magics_of(file);
            for (size_t i = 0; i + 1 < found.size(); ++i) {
                EXPECT_EQ(decode(file, found[i].bit, found[i + 1].bit), 1) << i;
                all += out;
            }
            EXPECT_TRUE(all == data) << data.size() << " at " << level;
        }
    std::string data = std::string(300, 'x') + "ab" + std::string(4, 'y') + "the quick brown fox";
    for (int i = 0; i < 40; ++i)
        data += std::to_string(i * 7919) + std::string(i % 9, 'z');
    std::string file = bzip2_of(data, 1);
    uint64_t end = magics_of(file)[1].bit;
    int taken = 0;
    for (uint64_t bit = 32 + 48; bit < end; ++bit) {
        std::string flipped = file;
        flipped[bit / 8] ^= static_cast<char>(0x80 >> bit % 8);
        int good = decode(flipped, 32, end);
        std::string reference(std::max(out.size(), data.size()) + 100, '\0');
        unsigned size = static_cast<unsigned>(reference.size());
        bool reference_good = BZ2_bzBuffToBuffDecompress(&reference[0], &size, &flipped[0],
                                                         static_cast<unsigned>(flipped.size()), 1, 0) == BZ_OK;
        taken += good >= 0;
        EXPECT_TRUE(good < 0 || (good == 1) == reference_good) << bit;
        EXPECT_TRUE(good < 0 || (reference.compare(0, out.size(), out) == 0 && (!good || size == out.size()))) << bit;
    }
    EXPECT_GT(taken, 100);
}

TEST(Progress, PercentDividesFirstAndARunningJobShowsAtMost99)
{
    const int64_t five_gib = 5LL << 30;
    for (auto [total, done, percent] : {std::tuple<int64_t, int64_t, int32_t>{97, 97, 99}, {3, 1, 33}, {0, 12345, 0},
                                        {five_gib, five_gib / 2, 50}, {five_gib, five_gib - 1, 99}, {1, int64_t(1) << 40, 2147483647}})
        EXPECT_EQ(kelb::percent_of(total, done), percent) << total << " " << done;
    // By bytes, then by percent: the running job, what it counts, and what it shows.
    for (auto [by_percent, total, done, running, shown] :
         {std::tuple{0, 100, 100, 1, 99}, {0, 100, 100, 0, 100}, {0, 97, 97, 0, 99}, {0, 100, 5000, 0, 100},
          {0, -1, 10, 0, 0}, {1, 0, 100, 1, 99}, {1, 0, 98, 1, 98}, {1, 0, 250, 0, 100}, {1, 0, -3, 1, 0}}) {
        kelb::progress_by_percent = by_percent;
        kelb::bytes_total = total;
        kelb::bytes_done = kelb::percent_done = done;
        kelb::job_running = running;
        EXPECT_EQ(kelb::get_progress(), shown) << by_percent << " " << total << " " << done << " " << running;
    }
    kelb::job_running = kelb::progress_by_percent = kelb::percent_done = 0;
    kelb::bytes_total = kelb::bytes_done = 0;
}

// No threads: the task runs in submit().
TEST(JobPool, RunsTasksAndFollowsTheSetting)
{
    for (unsigned threads : {0u, 1u, 4u}) {
        kelb::job_pool pool(threads);
        EXPECT_EQ(pool.threads(), threads);
        std::atomic<int> done{0};
        pool.submit([&] { ++done; }).get();
        EXPECT_EQ(done.load(), 1) << threads;
    }
    static int32_t processors;
    static const kelb::platform_ops counted = [] {
        kelb::platform_ops ops = kelb::real_platform();
        ops.available_processors = [] { return processors; };
        return ops;
    }();
    kelb::use_platform(&counted);
    for (auto [setting, count, threads] : {std::tuple{0, 3, 3}, {0, 1000, kelb::job_threads_max}, {0, 0, 1}, {5, 3, 5},
                                           {1, 3, 1}, {1000, 3, kelb::job_threads_max}}) {
        kelb::job_threads_setting.store(setting);
        processors = count;
        EXPECT_EQ(kelb::job_threads(), threads) << setting << " asked, " << count << " processors";
    }
    kelb::job_threads_setting.store(0);
    kelb::use_platform(nullptr);
}

namespace {

// A made-up processor: the vendor in EBX, EDX, ECX of leaf 0, the brand in
// leaves 0x80000002 to 4, and no answer from leaf `failing_from` on.
struct {
    std::string vendor, brand;
    uint32_t highest_extended, failing_from;
} fake;

int fake_query(uint32_t leaf, uint32_t* a, uint32_t* b, uint32_t* c, uint32_t* d)
{
    if (leaf >= fake.failing_from)
        return 1;
    size_t at = leaf >= 0x80000002u ? 16 * (leaf - 0x80000002u) : 0;
    const std::string& v = fake.vendor;
    std::string words = leaf == 0 ? "    " + v.substr(0, 4) + v.substr(8, 4) + v.substr(4, 4)
                                  : (fake.brand + std::string(48, '\0')).substr(at, 16);
    uint32_t* registers[] = {a, b, c, d};
    for (int i = 0; i < 4; ++i)
        memcpy(registers[i], words.data() + 4 * i, 4);  // x86 is little-endian
    if (leaf == 0x80000000u)
        *a = fake.highest_extended;
    return 0;
}

}  // namespace

TEST(Processor, VendorAndBrandComeFromTheirLeavesAndAreTrimmedOfSpacesOnly)
{
    const std::string xeon = "       Intel(R) Xeon(R)  CPU @ 2.20GHz  ";
    const struct {
        uint32_t highest, failing_from;
        std::string brand, vendor_answer, brand_answer;
    } cases[] = {{0x80000008u, ~0u, xeon, "AuthenticAMD", "Intel(R) Xeon(R)  CPU @ 2.20GHz"},
                 {0x80000004u, ~0u, std::string(48, 'B'), "AuthenticAMD", std::string(48, 'B')},
                 {0x80000004u, ~0u, std::string(48, ' '), "AuthenticAMD", ""},
                 {0x80000003u, ~0u, xeon, "AuthenticAMD", "Unavailable"},
                 {0x80000008u, 0x80000004u, xeon, "AuthenticAMD", "Unavailable"},  // no part of a brand
                 {0x80000008u, 0, xeon, "Unavailable", "Unavailable"}};            // no CPUID at all
    for (const auto& c : cases) {
        fake = {"AuthenticAMD", c.brand, c.highest, c.failing_from};
        char vendor[301] = {}, brand[301] = {};
        memset(vendor, ' ', 300);
        memset(brand, ' ', 300);
        kelb::copy_cpu_answer(kelb::cpu_brand_string(fake_query), brand);
        kelb::copy_cpu_answer(kelb::cpu_vendor_string(fake_query), vendor);
        EXPECT_EQ(vendor, c.vendor_answer);
        EXPECT_EQ(brand, c.brand_answer) << c.brand;
    }
    char buffer[20];
    kelb::copy_cpu_answer("\tTabbed \t ", buffer);
    EXPECT_STREQ(buffer, "\tTabbed \t");
    kelb::copy_cpu_answer("", buffer);
    EXPECT_STREQ(buffer, "Unavailable");
}
