// Another decoder's test files, with what the bzip2 tool makes of each: both
// decompression jobs must agree with the tool on every one, and stream what
// they restore through little memory (a 40-byte bomb restores 46 MB).
#include "engine_fixture.h"

#include "bzip3_header.h"
#include "md5.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <sys/resource.h>
#endif

using namespace kelbtest;
using PeerCorpus = EngineTest;

namespace {

// Streams the file, so the 46 MB outputs are not held in memory twice.
std::string md5_hex_of(const std::string& path)
{
    unsigned char digest[16];
    kelb::md5_context context;
    kelb::md5_init(&context);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(1 << 16);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        kelb::md5_update(&context, block.data(), static_cast<size_t>(in.gcount()));
    kelb::md5_final(&context, digest);
    char text[33];
    for (int i = 0; i < 16; ++i)
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

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
// block after block, as the bombs must stream through.
TEST_F(PeerCorpus, RestoresAsTheToolDoesThroughBothJobsInLittleMemory)
{
    long peak_before = peak_memory_kib();
    ASSERT_EQ(engine->run("decompress", fixture("repeat.txt.bz2"), path("restored")), 0);
    std::istringstream table(read_file(peer_file("expected.tsv")));
    std::string line, file, expect, bytes, md5;
    size_t listed = 0, present = 0;
    std::getline(table, line);  // the column names
    while (table >> file >> expect >> bytes >> md5) {
        ++listed;
        SCOPED_TRACE(file);
        bool ok = expect == "ok";
        kelb::bzip3_header header{};
        memcpy(header.magic, kelb::bzip3_magic, 4);
        for (int i = 0; ok && i < 16; ++i)  // a rejected file keeps zeros, which cannot match
            header.digest[i] = static_cast<unsigned char>(std::stoi(md5.substr(2 * i, 2), nullptr, 16));
        unsigned char head[kelb::bzip3_header_size];
        kelb::encode_bzip3_header(header, head);
        write_file(path("wrapped"), std::string(reinterpret_cast<char*>(head), sizeof head) + read_file(peer_file(file)));
        for (auto [job, source] : {std::pair{"decompress", peer_file(file)}, {"decompressbzip3", path("wrapped")}}) {
            int32_t result = engine->run(job, source, path("restored"));
            bool bzip3 = job[10] == 'b';
            if (file == "void.bz2") {
                // Shorter than three bytes is "not a bzip2 file"; wrapped, a bare header of the wrong digest.
                EXPECT_EQ(result, bzip3 ? 123 : 14);
            } else if (bzip3 && file == "concat.bz2") {
                // A container holds one stream and ignores what follows it.
                EXPECT_EQ(result, 123);
                EXPECT_LT(file_size(path("restored")), std::stoll(bytes));
            } else if (ok) {
                EXPECT_EQ(result, 0) << job;
                EXPECT_EQ(file_size(path("restored")), std::stoll(bytes)) << job;
                EXPECT_EQ(md5_hex_of(path("restored")), md5) << job;
            } else {
                EXPECT_NE(result, 0) << job;
            }
        }
    }
    for (auto& entry : std::filesystem::directory_iterator(std::filesystem::path(peer_file("expected.tsv")).parent_path()))
        present += entry.path().extension() == ".bz2";
    EXPECT_EQ(listed, present) << "the table lists every file of the corpus";
    EXPECT_GT(listed, 0u);
    EXPECT_LE(peak_memory_kib(), peak_before + 32 * 1024) << "KiB at the peak";
}
