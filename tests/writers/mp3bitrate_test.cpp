#include "writers/mp3bitrate.h"

#include <gtest/gtest.h>

#include <climits>

TEST(Mp3Bitrate, TablesByRate) {
    EXPECT_EQ(Mp3BitrateKbps(5, 44100), 128);
    EXPECT_EQ(Mp3BitrateKbps(5, 22050), 80);
    EXPECT_EQ(Mp3BitrateKbps(0, 16000), 160);
    EXPECT_EQ(Mp3BitrateKbps(13, 32000), 32);
    EXPECT_EQ(Mp3BitrateKbps(13, 22050), 8);
    // The lowest rates use the lower table shifted by two.
    EXPECT_EQ(Mp3BitrateKbps(0, 11025), 128);
    EXPECT_EQ(Mp3BitrateKbps(11, 8000), 8);

    const int32_t expected48k[] = {320, 256, 224, 192, 160, 128, 112, 96, 80, 64, 56};
    for (int32_t i = 0; i <= 10; ++i)
        EXPECT_EQ(Mp3BitrateKbps(i, 48000), expected48k[i]) << "index " << i;
}

TEST(Mp3Bitrate, FallbackOutsideTables) {
    EXPECT_EQ(Mp3BitrateKbps(0, 96000), 128);
    EXPECT_EQ(Mp3BitrateKbps(0, 0), 128);
    EXPECT_EQ(Mp3BitrateKbps(0, -44100), 128);

    for (int32_t rate : {32000, 44100, 48000, 16000, 22050}) {
        EXPECT_EQ(Mp3BitrateKbps(-1, rate), 128) << rate;
        EXPECT_EQ(Mp3BitrateKbps(14, rate), 128) << rate;
        EXPECT_EQ(Mp3BitrateKbps(INT_MIN, rate), 128) << rate;
        EXPECT_EQ(Mp3BitrateKbps(INT_MAX, rate), 128) << rate;
    }
    for (int32_t rate : {8000, 11025}) {
        EXPECT_EQ(Mp3BitrateKbps(12, rate), 128) << rate;
        EXPECT_EQ(Mp3BitrateKbps(-1, rate), 128) << rate;
        EXPECT_EQ(Mp3BitrateKbps(-2, rate), 128) << rate;
        EXPECT_EQ(Mp3BitrateKbps(INT_MAX, rate), 128) << rate;
    }
}
