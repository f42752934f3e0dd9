// Another decoder's test files, with what the bzip2 tool makes of each:
// both decompression jobs must agree with the tool on every one of them.
#include "engine_fixture.h"

#include "bzip3_header.h"
#include "md5.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

struct peer_case {
    std::string file;
    bool ok;
    int64_t bytes;
    std::string md5;
};

std::vector<peer_case> peer_cases()
{
    std::vector<peer_case> cases;
    std::istringstream table(read_file(peer_file("expected.tsv")));
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        peer_case c;
        std::string expect, bytes;
        if (!(fields >> c.file >> expect >> bytes >> c.md5))
            continue;
        c.ok = expect == "ok";
        c.bytes = c.ok ? std::stoll(bytes) : -1;
        cases.push_back(c);
    }
    return cases;
}

// Streams the file, so the 46 MB outputs are not held in memory twice.
std::string md5_hex_of(const std::string& path)
{
    kelb::md5_context context;
    kelb::md5_init(&context);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(1 << 16);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        kelb::md5_update(&context, block.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[16];
    kelb::md5_final(&context, digest);
    char text[33];
    for (int i = 0; i < 16; ++i)
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

std::string header_for(const peer_case& c)
{
    kelb::bzip3_header header{};
    memcpy(header.magic, kelb::bzip3_magic, 4);
    // A rejected file has no digest of its own: zeros, which cannot match.
    if (c.ok)
        for (int i = 0; i < 16; ++i)
            header.digest[i] = static_cast<unsigned char>(std::stoi(c.md5.substr(2 * i, 2), nullptr, 16));
    header.attributes = 0x20;  // archive, as our own compression writes it
    header.creation_time = header.last_write_time = 133000000000000000ULL;  // in 2022
    unsigned char bytes[kelb::bzip3_header_size];
    kelb::encode_bzip3_header(header, bytes);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

// The process's largest resident set so far, in KiB; 0 where it cannot be
// told or where a sanitizer's own books would swamp it.
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

// libbzip2 needs under 4 MiB to decompress; the bomb's 46 MB must stream
// through, never pile up.
constexpr long memory_bound_kib = 32 * 1024;

constexpr int32_t bzip2_not_a_bzip2_file = 14;
constexpr int32_t bzip3_checksum_mismatch = 123;

class PeerCorpus : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        cases = peer_cases();
        peak_before = peak_memory_kib();
    }
    void TearDown() override
    {
        EXPECT_LE(peak_memory_kib(), peak_before + memory_bound_kib) << "KiB at the peak";
        EngineTest::TearDown();
    }

    // Runs one job on one file and checks the outcome against the tool's.
    void check(const char* job, const peer_case& c, const std::string& source)
    {
        SCOPED_TRACE(std::string(job) + " " + c.file);
        std::string target = path("restored");
        int32_t result = engine->run(job, source, target);
        if (c.ok) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(file_size(target), c.bytes);
            EXPECT_EQ(md5_hex_of(target), c.md5);
        } else {
            EXPECT_NE(result, 0);
        }
        std::error_code ignored;
        fs::remove(target, ignored);
    }

    std::vector<peer_case> cases;
    long peak_before = 0;
};

}  // namespace

TEST_F(PeerCorpus, TableListsEveryFileOfTheCorpus)
{
    std::vector<std::string> listed, present;
    for (auto& c : cases)
        listed.push_back(c.file);
    for (auto& entry : fs::directory_iterator(fs::path(peer_file("expected.tsv")).parent_path()))
        if (entry.path().extension() == ".bz2")
            present.push_back(entry.path().filename().string());
    std::sort(listed.begin(), listed.end());
    std::sort(present.begin(), present.end());
    EXPECT_FALSE(present.empty());
    EXPECT_EQ(listed, present);
}

TEST_F(PeerCorpus, Bzip2JobAgreesWithTheToolOnEveryFile)
{
    ASSERT_FALSE(cases.empty());
    for (auto& c : cases) {
        // The zero-byte file: the tool rejects it, and so do we, by design
        // with "not a bzip2 file" for any source shorter than three bytes.
        if (c.file == "void.bz2") {
            ASSERT_EQ(file_size(peer_file(c.file)), 0);
            EXPECT_EQ(engine->run("decompress", peer_file(c.file), path("restored")),
                      bzip2_not_a_bzip2_file);
            continue;
        }
        check("decompress", c, peer_file(c.file));
    }
}

TEST_F(PeerCorpus, Bzip3JobAgreesWithTheToolOnEveryFileBehindAValidHeader)
{
    ASSERT_FALSE(cases.empty());
    for (auto& c : cases) {
        std::string wrapped = path(c.file + ".bz3");
        write_file(wrapped, header_for(c) + read_file(peer_file(c.file)));
        // Known differences, both by the container's design:
        // the zero-byte file wrapped is a bare header, an empty file only
        // when its digest is that of nothing, and this one holds zeros;
        if (c.file == "void.bz2") {
            EXPECT_EQ(engine->run("decompressbzip3", wrapped, path("restored")), bzip3_checksum_mismatch);
            EXPECT_EQ(file_size(path("restored")), 0);
            continue;
        }
        // a container holds one stream and ignores what follows it, so of
        // two concatenated streams only the first comes back, and the digest
        // of the whole does not match it.
        if (c.file == "concat.bz2") {
            EXPECT_EQ(engine->run("decompressbzip3", wrapped, path("restored")), bzip3_checksum_mismatch);
            EXPECT_LT(file_size(path("restored")), c.bytes);
            continue;
        }
        check("decompressbzip3", c, wrapped);
    }
}
