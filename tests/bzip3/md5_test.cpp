// MD5 against RFC 1321's own test suite and against md5sum on real files.
#include "bzip3_test_util.h"
#include "md5.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace kelb;

namespace {

std::string md5_hex(const std::string& data, size_t piece = 0)
{
    md5_context context;
    md5_init(&context);
    if (piece == 0)
        md5_update(&context, data.data(), data.size());
    else
        for (size_t at = 0; at < data.size(); at += piece)
            md5_update(&context, data.data() + at, std::min(piece, data.size() - at));
    unsigned char digest[16];
    md5_final(&context, digest);
    return bzip3test::hex(std::string(reinterpret_cast<char*>(digest), 16));
}

TEST(Md5, Rfc1321TestSuite)
{
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string eighty;
    for (int i = 0; i < 8; ++i)
        eighty += "1234567890";
    EXPECT_EQ(md5_hex(eighty), "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the 56- and 64-byte edges of the padding, fed whole and in
// pieces of every size that splits a block differently.
TEST(Md5, PiecesGiveTheSameDigestAsTheWhole)
{
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += static_cast<char>(i * 7 + 3);
    for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
        std::string part = data.substr(0, length);
        std::string whole = md5_hex(part);
        for (size_t piece = 1; piece <= 130; ++piece)
            ASSERT_EQ(md5_hex(part, piece), whole) << "length " << length << ", pieces of " << piece;
    }
}

TEST(Md5, AgreesWithMd5sumOnRealFiles)
{
    for (const char* name : {"text.txt", "binary.bin", "random.bin", "large.bin", "chunk32768.bin"}) {
        std::string bytes = kelbtest::read_file(kelbtest::fixture(name));
        ASSERT_FALSE(bytes.empty()) << name;
        EXPECT_EQ(md5_hex(bytes, 32768), bzip3test::md5sum_of_fixture(name)) << name;
    }
}

}  // namespace
