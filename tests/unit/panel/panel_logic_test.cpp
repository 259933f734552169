// The panel's pure logic: the worked scaling examples, popup placement and timing, help texts
// and the indicator map.
#include "panel_logic.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct SliderCase {
    int vrange;
    int pos;
    int setpoint;
};

TEST(PanelScaling, SliderPositionGivesWholeVolts) {
    const SliderCase cases[] = {
        {2500, 1, 100}, {2500, 25, 2500},  {2550, 1, 102},      {2550, 25, 2550},
        {2550, 0, 0},   {50000, 10, 1000}, {50000, 500, 50000}, {60000, 600, 60000},
        {1000, 3, 300}, {2599, 13, 1351}, // 13 * 2599 / 25 = 1351.48, truncated
    };
    for (const SliderCase &c : cases) {
        int steps = SliderSteps(c.vrange);
        EXPECT_EQ(c.setpoint, SetpointFromSlider(c.pos, c.vrange, steps))
            << "vrange " << c.vrange << " position " << c.pos;
    }
}

TEST(PanelScaling, SliderStepsDropTheRemainder) {
    EXPECT_EQ(25, SliderSteps(2500));
    EXPECT_EQ(25, SliderSteps(2550));
    EXPECT_EQ(600, SliderSteps(60000));
    EXPECT_EQ(10, SliderSteps(1099));
    EXPECT_EQ(0, SliderSteps(0));
}

TEST(PanelScaling, TopOfTheLargestRangeDoesNotOverflow) {
    // 600 * 60000 = 36,000,000 fits in 32 bits; the product comes first.
    EXPECT_EQ(60000, SetpointFromSlider(600, 60000, 600));
    EXPECT_EQ(59900, SetpointFromSlider(599, 60000, 600));
    EXPECT_EQ(600, SliderFromSetpoint(60000, 60000, 600));
}

struct FineCase {
    int setpoint;
    int delta;
    int vrange;
    int expected;
    int slider;
};

TEST(PanelScaling, FineStepMovesAgainstTheDeltaWithinTheRange) {
    const FineCase cases[] = {
        {150, -1, 2500, 151, 1},     // up arrow: the worked example, trackbar at 151*25/2500
        {151, 1, 2500, 150, 1},      // down arrow
        {0, 1, 2500, 0, 0},          // down at 0 V stays at 0
        {2500, -1, 2500, 2500, 25},  // up at vrange stays at vrange
        {2495, -20, 2500, 2500, 25}, // an accelerated step clipped at the top
        {10, 50, 2500, 0, 0},        // and at the bottom
        {1000, -5, 50000, 1005, 10},
        {99, -1, 2500, 100, 1},
        {0, -1, 0, 0, 0}, // never connected: stays at 0, trackbar untouched
        {0, 1, 0, 0, 0},
    };
    for (const FineCase &c : cases) {
        int n = SetpointFromFine(c.setpoint, c.delta, c.vrange);
        EXPECT_EQ(c.expected, n) << c.setpoint << " delta " << c.delta;
        EXPECT_EQ(c.slider, SliderFromSetpoint(n, c.vrange, SliderSteps(c.vrange)))
            << c.setpoint << " delta " << c.delta;
    }
}

TEST(PanelScaling, BarPositionsTruncateAndAreNotClamped) {
    EXPECT_EQ(500, BarPosition(1250.0, 2500));
    EXPECT_EQ(20, BarPosition(1000.9, 50000));   // 20.018 truncated
    EXPECT_EQ(999, BarPosition(49999.0, 50000)); // 999.98 truncated
    EXPECT_EQ(1000, BarPosition(200.0, 200));
    EXPECT_EQ(1010, BarPosition(202.0, 200)); // the control clamps, not the panel
    EXPECT_EQ(0, BarPosition(0.0, 60000));
    EXPECT_EQ(-2, BarPosition(-0.5, 200)); // toward zero, not down
}

TEST(PanelScaling, PendingSetpointIsSentHalfAVoltUpOrAsZero) {
    EXPECT_DOUBLE_EQ(1000.5, SetpointVolts(1000, 1));
    EXPECT_DOUBLE_EQ(0.5, SetpointVolts(0, 1));
    EXPECT_DOUBLE_EQ(0.0, SetpointVolts(1000, 0));
}

struct PlacementCase {
    const char *name;
    int x, y, w, h, sw, sh, panelLeft;
    int left, top;
};

TEST(HelpPopupPlacement, ScreenEdgeRules) {
    const PlacementCase cases[] = {
        {"fits", 400, 300, 200, 40, 1024, 768, 50, 390, 298},
        {"right edge pulls left", 900, 300, 200, 40, 1024, 768, 50, 809, 298},
        {"exactly at the right margin", 819, 300, 200, 40, 1024, 768, 50, 809, 298},
        {"one pixel past", 820, 300, 200, 40, 1024, 768, 50, 809, 298},
        {"pull would pass the panel's left edge", 900, 300, 200, 40, 1024, 768, 819, 890, 298},
        {"panel further right than the pull", 900, 300, 200, 40, 1024, 768, 870, 890, 298},
        {"bottom edge pulls up", 400, 750, 200, 40, 1024, 768, 50, 390, 721},
        {"both edges", 1000, 760, 200, 40, 1024, 768, 50, 809, 721},
        {"never negative", 5, 1, 200, 40, 1024, 768, 50, 0, 0},
        {"popup wider than the screen", 10, 10, 1100, 40, 1024, 768, 50, 0, 8},
        {"taller than the screen", 10, 10, 100, 800, 1024, 768, 50, 0, 0},
    };
    for (const PlacementCase &c : cases) {
        int left = -1, top = -1;
        PlaceHelpPopup(c.x, c.y, c.w, c.h, c.sw, c.sh, c.panelLeft, &left, &top);
        EXPECT_EQ(c.left, left) << c.name;
        EXPECT_EQ(c.top, top) << c.name;
    }
}

TEST(HelpPopupPlacement, AboutPopupSits110LeftAnd102AboveTheMiddle) {
    struct {
        int l, t, r, b, x, y;
    } cases[] = {
        {50, 50, 670, 420, 260, 135},
        {50, 50, 671, 421, 260, 135},      // halves truncated
        {-300, -40, -101, 20, -300, -110}, // toward zero for negatives: (-401)/2 = -200
    };
    for (const auto &c : cases) {
        int x = 0, y = 0;
        AboutReference(c.l, c.t, c.r, c.b, &x, &y);
        EXPECT_EQ(c.x, x);
        EXPECT_EQ(c.y, y);
    }
    int x = 0, y = 0, left = 0, top = 0;
    AboutReference(50, 50, 670, 420, &x, &y);
    PlaceHelpPopup(x, y, 150, 50, 1024, 768, 50, &left, &top);
    EXPECT_EQ((50 + 670) / 2 - 110, left);
    EXPECT_EQ((50 + 420) / 2 - 102, top);
}

TEST(HelpPopupTiming, LeaveNoticeOnThe21stTickCloseOnThe101st) {
    int ticks = 0;
    int leaveTick = 0, closeTick = 0, leaveCount = 0;
    for (int tick = 1; tick <= 150 && closeTick == 0; ++tick) {
        int action = HelpTick(&ticks);
        EXPECT_EQ(tick, ticks);
        if (action & HELP_TICK_TRACK_LEAVE) {
            leaveTick = tick;
            ++leaveCount;
        }
        if (action & HELP_TICK_CLOSE) {
            closeTick = tick;
        }
    }
    EXPECT_EQ(21, leaveTick);
    EXPECT_EQ(1, leaveCount);
    EXPECT_EQ(101, closeTick);
}

TEST(HelpTexts, TableByteForByte) {
    const struct {
        int id;
        const char *text;
    } expected[] = {
        {1000, "Use COM1."},
        {1010, "Use COM2."},
        {1020, "Use COM3."},
        {1030, "Use COM4."},
        {1040, "Use COM5."},
        {1050, "Connection status."},
        {1060, "Stop connection."},
        {1070, "Start connection."},
        {1080, "Firmware revision."},
        {1110, "Output voltage to set."},
        {1120, "Enable output."},
        {1160, "Output voltage to set (fine)."},
        {1210, "Output voltage to set."},
        {1350, "Corrected and filtered data from internal current meter, \xB5"
               "A."},
        {1360, "Corrected and filtered data from internal voltage meter, V."},
        {2900, "Error status."},
        {3000, "Over Voltage status bit."},
        {3001, "Over Current status bit."},
        {3002, "Enable Output status bit."},
        {3003, "EEPROM busy (writing) status bit."},
        {3004, "Fault status bit. See next line for details."},
        {3005, "Over Temperature status bit."},
        {3006, "COM Port Error status bit."},
        {3007, "Reset status bit."},
        {3103, "DAC error."},
        {3105, "Current Meter ADC error."},
        {3106, "Voltage Meter ADC error."},
        {3107, "EEPROM Checksum error.."},
    };
    for (const auto &e : expected) {
        const char *text = HelpTextFor(e.id);
        ASSERT_NE(nullptr, text) << e.id;
        EXPECT_STREQ(e.text, text) << e.id;
    }
    // The micro sign is the single ANSI byte 0xB5, not a UTF-8 pair.
    const char *current = HelpTextFor(1350);
    ASSERT_NE(nullptr, current);
    const char *micro = std::strchr(current, '\xB5');
    ASSERT_NE(nullptr, micro);
    EXPECT_EQ('A', micro[1]);
    EXPECT_EQ(nullptr, std::strchr(current, '\xC2'));
}

TEST(HelpTexts, AboutTextIsTwoLinesStartingWithTheMaker) {
    const char *about = HelpTextFor(IDH_ABOUT);
    ASSERT_NE(nullptr, about);
    std::string text(about);
    size_t newline = text.find('\n');
    ASSERT_NE(std::string::npos, newline);
    EXPECT_EQ("Vantrel", text.substr(0, newline));
    EXPECT_EQ(std::string::npos, text.find('\n', newline + 1));
    EXPECT_EQ(std::string::npos, text.find('\r'));
    EXPECT_FALSE(text.substr(newline + 1).empty());
}

TEST(HelpTexts, ControlsWithoutTextAndIgnoredRequests) {
    const int withoutText[] = {1081, 1082, 1090, 1170, 1180, 3100, 3101, 3102,
                               3104, 8000, 0,    -1,   1001, 3008, 3108};
    for (int id : withoutText) {
        EXPECT_EQ(nullptr, HelpTextFor(id)) << id;
    }
    EXPECT_TRUE(HelpRequestIgnored(0));
    EXPECT_TRUE(HelpRequestIgnored(-1));
    EXPECT_TRUE(HelpRequestIgnored(0x1FFFF)); // only the low word counts
    EXPECT_FALSE(HelpRequestIgnored(3000));
    EXPECT_FALSE(HelpRequestIgnored(1090)); // asked for, and then found without a text
    EXPECT_FALSE(HelpRequestIgnored(0x10000));
}

TEST(Indicators, BitIDrivesStatus3000PlusIAndFault3100PlusI) {
    int ids[INDICATOR_COUNT];
    int checked[INDICATOR_COUNT];
    IndicatorStates(0x81, 0x88, ids, checked); // reset and over voltage; EESum and DAC
    for (int bit = 0; bit < 8; ++bit) {
        EXPECT_EQ(3000 + bit, ids[2 * bit]);
        EXPECT_EQ(3100 + bit, ids[2 * bit + 1]);
    }
    const int statusExpected[8] = {1, 0, 0, 0, 0, 0, 0, 1};
    const int faultExpected[8] = {0, 0, 0, 1, 0, 0, 0, 1};
    for (int bit = 0; bit < 8; ++bit) {
        EXPECT_EQ(statusExpected[bit], checked[2 * bit]) << "status bit " << bit;
        EXPECT_EQ(faultExpected[bit], checked[2 * bit + 1]) << "fault bit " << bit;
    }
    // Each single bit lights exactly its own indicator; bits above 7 light nothing.
    for (int bit = 0; bit < 8; ++bit) {
        IndicatorStates(1 << bit, 0x100 | (1 << (7 - bit)), ids, checked);
        for (int i = 0; i < INDICATOR_COUNT; ++i) {
            int expected = ids[i] == 3000 + bit || ids[i] == 3100 + (7 - bit);
            EXPECT_EQ(expected, checked[i]) << "bit " << bit << " indicator " << ids[i];
        }
    }
}

TEST(PortChoice, FirstCheckedButtonWinsAndNoneKeepsTheChoice) {
    const struct {
        int checked[PORT_COUNT];
        int current;
        int expected;
    } cases[] = {
        {{0, 0, 0, 0, 0}, -1, -1}, {{1, 0, 0, 0, 0}, -1, 0}, {{0, 0, 0, 0, 1}, 0, 4},
        {{0, 1, 0, 1, 0}, 4, 1},   {{0, 0, 0, 0, 0}, 2, 2},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expected, PortFromChecks(c.checked, c.current));
    }
    EXPECT_EQ(1000, kPortButtonIds[0]);
    EXPECT_EQ(1040, kPortButtonIds[4]);
    EXPECT_FALSE(StartEnabled(-1, 0));
    EXPECT_TRUE(StartEnabled(0, 0));
    EXPECT_FALSE(StartEnabled(3, 1));
}

} // namespace
