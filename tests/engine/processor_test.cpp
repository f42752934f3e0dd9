#include "kelbzp1.h"
#include "processor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

using namespace kelb;

namespace {

// A made-up processor: vendor and brand words as a real one returns them.
struct fake_processor {
    std::string vendor = "GenuineIntel";
    std::string brand;  // padded with NULs to 48 bytes
    uint32_t highest_extended = 0x80000008u;
    bool has_cpuid = true;
    int fail_brand_leaf = -1;  // 0, 1 or 2: that brand leaf raises
};
fake_processor fake;

uint32_t word(const std::string& s, size_t at)
{
    uint32_t w = 0;
    for (int i = 3; i >= 0; --i)
        w = (w << 8) | static_cast<unsigned char>(at + i < s.size() ? s[at + i] : 0);
    return w;
}

int fake_query(uint32_t leaf, uint32_t* a, uint32_t* b, uint32_t* c, uint32_t* d)
{
    *a = *b = *c = *d = 0;
    if (!fake.has_cpuid)
        return 1;
    if (leaf == 0) {
        *a = 0x16;
        *b = word(fake.vendor, 0);
        *d = word(fake.vendor, 4);
        *c = word(fake.vendor, 8);
    } else if (leaf == 0x80000000u) {
        *a = fake.highest_extended;
    } else if (leaf >= 0x80000002u && leaf <= 0x80000004u) {
        size_t i = leaf - 0x80000002u;
        if (static_cast<int>(i) == fake.fail_brand_leaf)
            return 1;
        *a = word(fake.brand, 16 * i);
        *b = word(fake.brand, 16 * i + 4);
        *c = word(fake.brand, 16 * i + 8);
        *d = word(fake.brand, 16 * i + 12);
    }
    return 0;
}

std::string answer(const char* text)
{
    char buffer[301];
    memset(buffer, ' ', 300);
    buffer[300] = 0;
    copy_cpu_answer(text, buffer);
    return buffer;
}

class Processor : public testing::Test {
protected:
    void SetUp() override { fake = fake_processor{}; }
};

}  // namespace

TEST_F(Processor, VendorWordsComeInTheOrderEbxEdxEcx)
{
    fake.vendor = "AuthenticAMD";
    EXPECT_STREQ(cpu_vendor_string(fake_query), "AuthenticAMD");
}

TEST_F(Processor, WithoutCpuidBothAnswersAreUnavailable)
{
    fake.has_cpuid = false;
    EXPECT_STREQ(cpu_vendor_string(fake_query), "Unavailable");
    EXPECT_STREQ(cpu_brand_string(fake_query), "Unavailable");
}

TEST_F(Processor, BrandNeedsExtendedLeaf80000004)
{
    fake.brand = "Some CPU";
    fake.highest_extended = 0x80000003u;
    EXPECT_STREQ(cpu_brand_string(fake_query), "Unavailable");
    EXPECT_STREQ(cpu_vendor_string(fake_query), "GenuineIntel");
}

TEST_F(Processor, FailureInALaterBrandLeafGivesExactlyUnavailable)
{
    fake.brand = std::string(40, 'X');
    fake.fail_brand_leaf = 2;
    EXPECT_STREQ(cpu_brand_string(fake_query), "Unavailable");
}

TEST_F(Processor, BrandIsCutAtItsFirstNulAndTrimmedOfSpacesOnly)
{
    fake.brand = "       Intel(R) Xeon(R)  CPU @ 2.20GHz  ";
    EXPECT_EQ(answer(cpu_brand_string(fake_query)), "Intel(R) Xeon(R)  CPU @ 2.20GHz");
    fake.brand = std::string(48, 'B');
    EXPECT_EQ(answer(cpu_brand_string(fake_query)), std::string(48, 'B'));
    EXPECT_EQ(answer("\tTabbed \t "), "\tTabbed \t");
}

TEST_F(Processor, BrandOfSpacesOnlyComesBackEmptyNotUnavailable)
{
    fake.brand = std::string(48, ' ');
    EXPECT_EQ(answer(cpu_brand_string(fake_query)), "");
    EXPECT_EQ(answer(""), "Unavailable");
}

TEST_F(Processor, RealProcessorMatchesWhatTheSystemReports)
{
    char vendor[301] = {0}, brand[301] = {0};
    ASSERT_EQ(interface1(reinterpret_cast<uintptr_t>("getcpuname"), reinterpret_cast<uintptr_t>(vendor), 0, 0), 0);
    ASSERT_EQ(interface1(reinterpret_cast<uintptr_t>("getbrandstring"), reinterpret_cast<uintptr_t>(brand), 0, 0), 0);
    EXPECT_EQ(strlen(vendor), 12u);
#ifndef _WIN32
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, reported_vendor;
    while (std::getline(cpuinfo, line)) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        std::string value = line.substr(colon + 2);
        if (line.rfind("vendor_id", 0) == 0 && reported_vendor.empty())
            reported_vendor = value;
    }
    // The brand is not compared: under a hypervisor the kernel may name the
    // model differently from what CPUID answers.
    EXPECT_EQ(vendor, reported_vendor);
#endif
}
