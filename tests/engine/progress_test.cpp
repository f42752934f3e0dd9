#include "job.h"

#include <gtest/gtest.h>

using namespace kelb;

TEST(PercentOf, DividesFirstThenMultiplies)
{
    EXPECT_EQ(percent_of(97, 97), 99);
    EXPECT_EQ(percent_of(100, 100), 100);
    EXPECT_EQ(percent_of(3, 3), 100);
    EXPECT_EQ(percent_of(3, 1), 33);
    EXPECT_EQ(percent_of(0, 12345), 0);
    EXPECT_EQ(percent_of(200, 0), 0);
}

TEST(PercentOf, CountsBeyondTwoGibibytesStayMeaningful)
{
    const int64_t five_gib = 5LL << 30;
    EXPECT_EQ(percent_of(five_gib, five_gib / 2), 50);
    EXPECT_EQ(percent_of(five_gib, five_gib - 1), 99);
    EXPECT_EQ(percent_of(five_gib, five_gib), 100);
    EXPECT_EQ(percent_of(1, int64_t(1) << 40), 2147483647) << "saturates instead of overflowing";
}

class GetProgress : public testing::Test {
protected:
    void TearDown() override
    {
        job_running = 0;
        progress_by_percent = 0;
        bytes_total = 0;
        bytes_done = 0;
        percent_done = 0;
    }
    static int32_t bytes(int64_t total, int64_t done, int32_t running)
    {
        progress_by_percent = 0;
        bytes_total = total;
        bytes_done = done;
        job_running = running;
        return get_progress();
    }
    static int32_t percent(int32_t value, int32_t running)
    {
        progress_by_percent = 1;
        percent_done = value;
        job_running = running;
        return get_progress();
    }
};

TEST_F(GetProgress, RunningJobIsCappedAt99)
{
    EXPECT_EQ(bytes(100, 98, 1), 98);
    EXPECT_EQ(bytes(100, 99, 1), 99);
    EXPECT_EQ(bytes(100, 100, 1), 99);
    EXPECT_EQ(bytes(100, 100, 0), 100);
    EXPECT_EQ(bytes(97, 97, 0), 99);
    EXPECT_EQ(percent(100, 1), 99);
    EXPECT_EQ(percent(100, 0), 100);
    EXPECT_EQ(percent(98, 1), 98);
}

TEST_F(GetProgress, ValuesOutsideThePercentRangeAreClamped)
{
    EXPECT_EQ(bytes(100, 5000, 0), 100) << "decompression writes more than it reads";
    EXPECT_EQ(bytes(-1, 10, 0), 0) << "a size that could not be measured";
    EXPECT_EQ(percent(250, 0), 100);
    EXPECT_EQ(percent(-3, 1), 0);
}
