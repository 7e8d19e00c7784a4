// The general number text of the project file and log, and the edge text of the tile list.
#include "base/NumberText.h"

#include <clocale>
#include <cstdio>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "geo/Commonfunc.h"

namespace {

using quarrow::AppendEdgeText;
using quarrow::EdgeText;
using quarrow::GeneralNumberText;
using quarrow::SystemDecimalSeparator;

struct GeneralCase {
    double Value;
    const char* Text;
};

TEST(GeneralNumberText, FifteenSignificantDigitsWithoutTrailingZeros) {
    const GeneralCase cases[] = {
        {40.0, "40"},
        {116.279296875, "116.279296875"},
        {40.01078714046551, "40.0107871404655"},
        {116.3, "116.3"},
        {39.8, "39.8"},
        {-180, "-180"},
        {-12.5, "-12.5"},
        {0.1, "0.1"},
        {1.0 / 3, "0.333333333333333"},
        {2.0 / 3, "0.666666666666667"},
        {123456789012345.0, "123456789012345"},
        {99999999999999.94, "99999999999999.9"},
        {99999999999999.96, "100000000000000"},
        {1234567.000000001, "1234567"},
    };
    for (const GeneralCase& c : cases)
        EXPECT_EQ(GeneralNumberText(c.Value, '.'), c.Text);
}

TEST(GeneralNumberText, ZeroIsJustZero) {
    EXPECT_EQ(GeneralNumberText(0.0, '.'), "0");
    EXPECT_EQ(GeneralNumberText(-0.0, '.'), "0");
}

TEST(GeneralNumberText, ScientificBelowOneHundredThousandthAndFromSixteenDigits) {
    const GeneralCase cases[] = {
        {0.00001, "0.00001"},
        {0.000012345, "0.000012345"},
        {-0.00001, "-0.00001"},
        {0.000001, "1E-6"},
        {0.0000099999, "9.9999E-6"},
        {1.5e-7, "1.5E-7"},
        {-2.5e-6, "-2.5E-6"},
        {1e-300, "1E-300"},
        {1e15, "1E15"},
        {1.5e16, "1.5E16"},
        {-1e20, "-1E20"},
        // Rounded to 15 digits first: the rounded value decides the notation.
        {0.000009999999999999999, "0.00001"},
        {999999999999999.9, "1E15"},
    };
    for (const GeneralCase& c : cases)
        EXPECT_EQ(GeneralNumberText(c.Value, '.'), c.Text);
}

TEST(GeneralNumberText, UsesTheGivenSeparator) {
    EXPECT_EQ(GeneralNumberText(116.3, ','), "116,3");
    EXPECT_EQ(GeneralNumberText(0.00005, ','), "0,00005");
    EXPECT_EQ(GeneralNumberText(1.5e-7, ','), "1,5E-7");
    EXPECT_EQ(GeneralNumberText(40.0, ','), "40");
}

TEST(GeneralNumberText, DefaultSeparatorIsThePointOfTheCLocale) {
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(SystemDecimalSeparator(), '.');
    EXPECT_EQ(GeneralNumberText(39.8), "39.8");
}

// A multi-byte point (U+066B in UTF-8) would leave a stray first byte in the file.
TEST(GeneralNumberText, SeparatorOfMoreThanOneByteFallsBackToThePoint) {
    EXPECT_EQ(quarrow::SingleByteSeparator(","), ',');
    EXPECT_EQ(quarrow::SingleByteSeparator("\xD9\xAB"), '.');
    EXPECT_EQ(quarrow::SingleByteSeparator(""), '.');
    EXPECT_EQ(quarrow::SingleByteSeparator(nullptr), '.');
}

TEST(GeneralNumberText, DefaultSeparatorFollowsTheLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    bool switched = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            switched = true;
            break;
        }
    if (!switched)
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    const char separator = SystemDecimalSeparator();
    const std::string text = GeneralNumberText(39.8);
    const std::string edge = EdgeText(39.8);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(separator, ',');
    EXPECT_EQ(text, "39,8");
    EXPECT_EQ(edge, "   39.80000000000000"); // the edge text never follows the locale
}

std::string PrintfEdge(double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%20.14f", value);
    return buffer;
}

TEST(EdgeText, MatchesPrintfInTheCLocale) {
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    const double values[] = {0.0,
                             -0.0,
                             116.279296875,
                             116.54296875,
                             -180,
                             180,
                             85.0511287798066,
                             1e-20,
                             -1e-20,
                             0.5e-14,
                             1.5e-14,
                             2.5e-14,
                             123.456,
                             1e20,
                             -1e20,
                             1e300,
                             -85.05112877980659,
                             0.1,
                             1.0 / 3,
                             999999.999999999999};
    for (const double value : values)
        EXPECT_EQ(EdgeText(value), PrintfEdge(value)) << value;
}

// Every edge a task can print at two zooms, against printf.
TEST(EdgeText, MatchesPrintfForEveryTileEdge) {
    for (int z : {13, 18}) {
        const int n = 1 << z;
        const int step = z == 13 ? 1 : 37;
        for (int i = 0; i <= n; i += step) {
            ASSERT_EQ(EdgeText(TileXToLon(i, z)), PrintfEdge(TileXToLon(i, z))) << i;
            ASSERT_EQ(EdgeText(TileYToLat(i, z)), PrintfEdge(TileYToLat(i, z))) << i;
        }
    }
}

TEST(EdgeText, RightAlignedInTwentyAndNeverCut) {
    EXPECT_EQ(EdgeText(116.279296875), "  116.27929687500000");
    EXPECT_EQ(EdgeText(-180), " -180.00000000000000");
    EXPECT_EQ(EdgeText(0), "    0.00000000000000");
    EXPECT_EQ(EdgeText(123456789), "123456789.00000000000000");
}

TEST(EdgeText, AppendKeepsWhatIsThere) {
    std::string out = "x:";
    AppendEdgeText(out, 1.5);
    AppendEdgeText(out, -2);
    EXPECT_EQ(out, "x:    1.50000000000000   -2.00000000000000");
}

TEST(CoordinateText, ConvertsWholeWithADecimalCommaAndNothingElse) {
    const struct {
        const char* Text;
        std::optional<double> Value;
    } cases[] = {
        {"116,3", 116.3}, {"116.3", 116.3}, {" -39.5 ", -39.5}, {"+5", 5.0},
        {"1e2", 100.0},   {".5", 0.5},      {"116.3.4", {}},    {"abc", {}},
        {"", {}},         {"  ", {}},       {"1,2,3", {}},      {"inf", {}},
        {"nan", {}},      {"+-1", {}},      {"12a", {}},        {"0x10", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Value, quarrow::ParseCoordinate(c.Text)) << '"' << c.Text << '"';
}

} // namespace
