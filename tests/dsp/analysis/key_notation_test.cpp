#include "dsp/analysis/key_notation.h"

#include <gtest/gtest.h>

#include <string>

using namespace Trackloom;
using namespace Trackloom::analysis;

// Written out from the wheels themselves (Camelot: 8B C major, 8A A minor, one step per fifth
// clockwise; Open Key: 1d C major, 1m A minor), not from the code's arithmetic.
TEST(KeyNotation, AllTwentyFourKeysOnBothWheels) {
    const struct {
        int index;
        const char* name;
        const char* relative;
        const char* camelot;
        const char* openKey;
    } table[] = {
        {0, "C Major", "A Minor", "8B", "1d"},    {7, "G Major", "E Minor", "9B", "2d"},
        {2, "D Major", "B Minor", "10B", "3d"},   {9, "A Major", "F# Minor", "11B", "4d"},
        {4, "E Major", "C# Minor", "12B", "5d"},  {11, "B Major", "Ab Minor", "1B", "6d"},
        {6, "F# Major", "Eb Minor", "2B", "7d"},  {1, "C# Major", "Bb Minor", "3B", "8d"},
        {8, "Ab Major", "F Minor", "4B", "9d"},   {3, "Eb Major", "C Minor", "5B", "10d"},
        {10, "Bb Major", "G Minor", "6B", "11d"}, {5, "F Major", "D Minor", "7B", "12d"},
        {21, "A Minor", "C Major", "8A", "1m"},   {16, "E Minor", "G Major", "9A", "2m"},
        {23, "B Minor", "D Major", "10A", "3m"},  {18, "F# Minor", "A Major", "11A", "4m"},
        {13, "C# Minor", "E Major", "12A", "5m"}, {20, "Ab Minor", "B Major", "1A", "6m"},
        {15, "Eb Minor", "F# Major", "2A", "7m"}, {22, "Bb Minor", "C# Major", "3A", "8m"},
        {17, "F Minor", "Ab Major", "4A", "9m"},  {12, "C Minor", "Eb Major", "5A", "10m"},
        {19, "G Minor", "Bb Major", "6A", "11m"}, {14, "D Minor", "F Major", "7A", "12m"},
    };
    bool seen[24] = {};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        seen[row.index] = true;
        EXPECT_EQ(KeyLetterName(row.index), row.name);
        EXPECT_EQ(RelativeKeyLetterName(row.index), row.relative);
        EXPECT_EQ(CamelotCode(row.index), row.camelot);
        EXPECT_EQ(OpenKeyCode(row.index), row.openKey);
    }
    for (int k = 0; k < 24; ++k) EXPECT_TRUE(seen[k]) << k;
    for (const int bad : {-1, 24}) {
        EXPECT_EQ(KeyLetterName(bad), "");
        EXPECT_EQ(CamelotCode(bad), "");
        EXPECT_EQ(OpenKeyCode(bad), "");
    }
}
