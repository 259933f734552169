// The command-line logic of k7340config: "%d"-style conversion, check order, bounds, yes keys.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "config_args.h"

namespace {

struct ConversionCase {
    const char *text;
    int converted; // 1 when a number is read
    int value;     // expected value when converted
};

const ConversionCase kConversions[] = {
    {"50000", 1, 50000},
    {"50000V", 1, 50000},
    {"+500", 1, 500},
    {" 123", 1, 123},
    {"\t\n\v\f\r 7", 1, 7},
    {"-42", 1, -42},
    {"0x10", 1, 0},
    {"12 34", 1, 12},
    {"007", 1, 7},
    {"2147483647", 1, INT_MAX},
    {"2147483648", 1, INT_MAX},
    {"99999999999999999999999999", 1, INT_MAX},
    {"-2147483648", 1, INT_MIN},
    {"-2147483649", 1, INT_MIN},
    {"-99999999999999999999999999", 1, INT_MIN},
    {"4294967296", 1, INT_MAX}, // would wrap to 0 if truncated to 32 bits
    {"", 0, 0},
    {"   ", 0, 0},
    {"V50000", 0, 0},
    {"+", 0, 0},
    {"-", 0, 0},
    {"- 5", 0, 0},
    {"+-5", 0, 0},
    {"x10", 0, 0},
};

TEST(ConvertDecimal, ReadsLeadingDecimalNumberLikePercentD) {
    for (const ConversionCase &c : kConversions) {
        int value = 0x5A5A5A5A;
        EXPECT_EQ(c.converted, ConvertDecimal(c.text, &value)) << '"' << c.text << '"';
        if (c.converted) {
            EXPECT_EQ(c.value, value) << '"' << c.text << '"';
        } else {
            EXPECT_EQ(0x5A5A5A5A, value) << "untouched on no number: \"" << c.text << '"';
        }
    }
}

TEST(ConvertDecimal, NullTextHoldsNoNumber) {
    int value = 3;
    EXPECT_EQ(0, ConvertDecimal(nullptr, &value));
    EXPECT_EQ(3, value);
}

struct ParseCase {
    std::vector<const char *> args; // after the program name
    int outcome;
    ConfigArgs values; // checked only for CONFIG_ARGS_OK
};

const ParseCase kParses[] = {
    {{}, CONFIG_ARGS_WRONG_COUNT, {}},
    {{"0", "50000"}, CONFIG_ARGS_WRONG_COUNT, {}},
    {{"0", "50000", "500", "1"}, CONFIG_ARGS_WRONG_COUNT, {}},
    {{"0", "50000", "500"}, CONFIG_ARGS_OK, {0, 50000, 500}},
    {{"1", "20000", "1000"}, CONFIG_ARGS_OK, {1, 20000, 1000}},
    // vrange bounds, both included
    {{"0", "1999", "500"}, CONFIG_ARGS_VRANGE, {}},
    {{"0", "2000", "500"}, CONFIG_ARGS_OK, {0, 2000, 500}},
    {{"0", "60000", "500"}, CONFIG_ARGS_OK, {0, 60000, 500}},
    {{"0", "60001", "500"}, CONFIG_ARGS_VRANGE, {}},
    {{"0", "-50000", "500"}, CONFIG_ARGS_VRANGE, {}},
    // irange bounds, both included
    {{"0", "50000", "49"}, CONFIG_ARGS_IRANGE, {}},
    {{"0", "50000", "50"}, CONFIG_ARGS_OK, {0, 50000, 50}},
    {{"0", "50000", "20000"}, CONFIG_ARGS_OK, {0, 50000, 20000}},
    {{"0", "50000", "20001"}, CONFIG_ARGS_IRANGE, {}},
    // vrange is judged first: only its message when both are out
    {{"0", "100", "5"}, CONFIG_ARGS_VRANGE, {}},
    // the rest of an argument is ignored
    {{"3", "50000V", "+500"}, CONFIG_ARGS_OK, {3, 50000, 500}},
    {{" 2", " 123456", "\t60"}, CONFIG_ARGS_VRANGE, {}},
    {{" 2", " 12345", "\t60"}, CONFIG_ARGS_OK, {2, 12345, 60}},
    {{"0x10", "50000", "500"}, CONFIG_ARGS_OK, {0, 50000, 500}},
    {{"0", "0x10", "500"}, CONFIG_ARGS_VRANGE, {}},
    // no number at all: a range counts as out of bounds, the COM port gets the usage text
    {{"0", "abc", "500"}, CONFIG_ARGS_VRANGE, {}},
    {{"0", "50000", ""}, CONFIG_ARGS_IRANGE, {}},
    {{"COM1", "50000", "500"}, CONFIG_ARGS_USAGE, {}},
    {{"", "50000", "500"}, CONFIG_ARGS_USAGE, {}},
    // the range checks come before the COM port check
    {{"COM1", "abc", "500"}, CONFIG_ARGS_VRANGE, {}},
    {{"COM1", "50000", "5"}, CONFIG_ARGS_IRANGE, {}},
    // saturated numbers fall outside the bounds instead of wrapping into them
    {{"0", "4294997296", "500"}, CONFIG_ARGS_VRANGE, {}},   // 2^32 + 30000
    {{"0", "50000", "4294967796"}, CONFIG_ARGS_IRANGE, {}}, // 2^32 + 500
    // the COM port has no bounds: it goes to the library as given
    {{"-1", "50000", "500"}, CONFIG_ARGS_OK, {-1, 50000, 500}},
    {{"99999999999", "50000", "500"}, CONFIG_ARGS_OK, {INT_MAX, 50000, 500}},
};

TEST(ParseConfigArgs, DecidesOutcomeInCheckOrder) {
    for (const ParseCase &c : kParses) {
        std::vector<const char *> argv;
        argv.push_back("k7340config");
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string shown;
        for (const char *a : c.args) {
            shown += std::string(" [") + a + "]";
        }
        ConfigArgs got = {-7, -7, -7};
        const int outcome = ParseConfigArgs((int)argv.size(), argv.data(), &got);
        EXPECT_EQ(c.outcome, outcome) << shown;
        if (c.outcome == CONFIG_ARGS_OK) {
            EXPECT_EQ(c.values.comPort, got.comPort) << shown;
            EXPECT_EQ(c.values.vrange, got.vrange) << shown;
            EXPECT_EQ(c.values.irange, got.irange) << shown;
        } else {
            // an undetermined or refused value must not leak to the caller
            EXPECT_EQ(-7, got.comPort) << shown;
            EXPECT_EQ(-7, got.vrange) << shown;
            EXPECT_EQ(-7, got.irange) << shown;
        }
    }
}

TEST(ParseConfigArgs, NullArgumentsHoldNoNumber) {
    const char *argv[] = {"k7340config", "0", "50000", nullptr};
    ConfigArgs got = {};
    EXPECT_EQ(CONFIG_ARGS_IRANGE, ParseConfigArgs(4, argv, &got));
    EXPECT_EQ(CONFIG_ARGS_WRONG_COUNT, ParseConfigArgs(4, nullptr, &got));
}

TEST(AnswerIsYes, OnlyLowerAndUpperY) {
    for (int key = -1; key < 256; key++) {
        EXPECT_EQ(key == 'y' || key == 'Y' ? 1 : 0, AnswerIsYes(key)) << "key " << key;
    }
}

} // namespace
