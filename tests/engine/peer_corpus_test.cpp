// The peer decoder corpus's two bombs, 40 bytes that restore 46 MB: both
// decompression jobs must restore what the bzip2 tool does, streaming it
// through little memory. The parts test takes the corpus's other files.
#include "bzip3_header.h"
#include "md5.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#ifndef _WIN32
#include <sys/resource.h>
#endif

using namespace kelbtest;

namespace {

// The process's largest resident set so far, in KiB; 0 where a sanitizer's
// own books would swamp it.
long peak_memory_kib()
{
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 0;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

}  // namespace

// Also a file of many blocks: each worker's decoding tables must be used again
// block after block. The peak is taken before any output is read back.
TEST(PeerCorpus, BombsRestoreAsTheToolDoesThroughBothJobsInLittleMemory)
{
    engine_library engine(KELB_ENGINE_FILE);
    ASSERT_TRUE(engine.loaded());
    std::string dir = scratch_dir() + "/";
    long peak_before = peak_memory_kib();
    ASSERT_EQ(engine.run("decompress", fixture("repeat.txt.bz2"), dir + "restored"), 0);
    std::istringstream table(read_file(peer_file("expected.tsv")));
    std::string file, expect, bytes, md5;
    std::vector<std::pair<std::string, std::string>> restored;  // each target with the MD5 it must have
    while (table >> file >> expect >> bytes >> md5) {
        if (file != "ch255.bz2" && file != "idx899999.bz2")
            continue;
        kelb::bzip3_header header{};
        memcpy(header.magic, kelb::bzip3_magic, 4);
        for (int i = 0; i < 16; ++i)
            header.digest[i] = static_cast<unsigned char>(std::stoi(md5.substr(2 * i, 2), nullptr, 16));
        unsigned char head[kelb::bzip3_header_size];
        kelb::encode_bzip3_header(header, head);
        write_file(dir + file + ".bz3", std::string(reinterpret_cast<char*>(head), sizeof head) + read_file(peer_file(file)));
        for (auto [job, source] : {std::pair{"decompress", peer_file(file)}, {"decompressbzip3", dir + file + ".bz3"}}) {
            restored.push_back({dir + file + "." + job, md5});
            EXPECT_EQ(engine.run(job, source, restored.back().first), 0) << file << " " << job;
        }
    }
    EXPECT_LE(peak_memory_kib(), peak_before + 32 * 1024) << "KiB at the peak";
    ASSERT_EQ(restored.size(), 4u);
    for (auto& [target, digest] : restored) {
        std::string data = read_file(target), hex;
        unsigned char raw[16];
        kelb::md5_context context;
        kelb::md5_init(&context);
        kelb::md5_update(&context, data.data(), data.size());
        kelb::md5_final(&context, raw);
        for (unsigned char c : raw)
            hex += "0123456789abcdef"[c >> 4] + std::string(1, "0123456789abcdef"[c & 15]);
        EXPECT_EQ(hex, digest) << target;
    }
}
