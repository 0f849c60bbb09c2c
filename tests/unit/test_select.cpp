// Selection lines, as the operator types them, against a table of devices.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brisk.h"
#include "test_support.h"

namespace {

struct reading {
    const char *line;       // what the operator types (pause answers follow)
    std::vector<int> chosen; // 1-based numbers that end up selected
    int result;
    const char *notices;    // what the parse prints
};

const char pause_text[] = "\nPress <Enter> to Continue ";

class SelectionLine : public ::testing::TestWithParam<reading> {};

TEST_P(SelectionLine, SelectsAndReports)
{
    const reading &r = GetParam();
    test_support::inventory inv;
    for (int i = 1; i <= 5; ++i)
        inv.add(("/dev/nst" + std::to_string(i)).c_str(), "HP", "Ultrium", "J5SW");
    int def = 1;
    // Each invalid number pauses for a line: feed enough empty ones.
    test_support::feed_stdin(std::string(r.line) + "\n\n\n\n");
    testing::internal::CaptureStdout();
    const int n = build_select_list(inv.head(), 5, &def);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(n, r.result);
    std::vector<int> chosen;
    for (int i = 0; i < 5; ++i) {
        if (inv.at(i)->state == DEV_SELECTED)
            chosen.push_back(i + 1);
    }
    EXPECT_EQ(chosen, r.chosen);
    EXPECT_EQ(out, r.notices);
}

const std::string inv9 = std::string("\nInvalid Selection: 9") + pause_text;
const std::string inv3 = std::string("\nInvalid Selection: 3") + pause_text;
const std::string inv7 = std::string("\nInvalid Selection: 7") + pause_text;

INSTANTIATE_TEST_SUITE_P(
    WorkedReadings, SelectionLine,
    ::testing::Values(reading{"1,3-4", {1, 3, 4}, 3, ""},
                      reading{"3-5", {3, 4, 5}, 3, ""},
                      reading{"1 3", {1, 2, 3}, 3, ""},
                      reading{"1, 3", {1, 3}, 2, ""},
                      reading{"", {1}, 1, ""},
                      reading{"0", {}, 0, ""},
                      reading{"x", {}, 0, ""},
                      reading{"2,0,4", {2}, 1, ""},
                      reading{"3-9", {3, 4, 5}, 3, inv9.c_str()},
                      reading{"5-3", {5}, 1, inv3.c_str()},
                      reading{"7", {}, 0, inv7.c_str()},
                      reading{"   ", {}, 0, ""},
                      // Naming a device twice counts it busy the second time.
                      reading{"2,2", {2}, 1, ""},
                      // Huge numbers neither loop nor overflow.
                      reading{"99999999999999999999", {}, 0,
                              "\nInvalid Selection: 2147483646\nPress <Enter> to Continue "}));

TEST(SelectionLine, BusyDevicesOnlyGiveMinusTheirCount)
{
    test_support::inventory inv;
    inv.add("/dev/nst0", "HP", "Ultrium", "J5SW", "", 1, DEV_FW_UPGRADED);
    inv.add("/dev/nst1", "HP", "Ultrium", "J5SW", "", 1, DEV_WRITING_FLASH);
    inv.add("/dev/nst2", "HP", "Ultrium", "J5SW", "", 1, DEV_UPDATE_FAILED);
    int def = 1;
    test_support::feed_stdin("1-2\n");
    // Device 1 is named by "1" and again by the range 1-2.
    EXPECT_EQ(build_select_list(inv.head(), 3, &def), -3);
    EXPECT_EQ(def, 2);
    test_support::feed_stdin("3\n");
    EXPECT_EQ(build_select_list(inv.head(), 3, &def), 1);
    EXPECT_EQ(inv.at(2)->state, DEV_SELECTED);
}

TEST(SelectionLine, EndOfInputReadsAsZero)
{
    test_support::inventory inv;
    inv.add("/dev/nst0", "HP", "Ultrium", "J5SW");
    int def = 1;
    test_support::feed_stdin("");
    EXPECT_EQ(build_select_list(inv.head(), 1, &def), 0);
    EXPECT_EQ(inv.at(0)->state, DEV_AVAILABLE);
}

TEST(SelectionLine, LongLineIsCutAndItsRestNeverReadAsAnAnswer)
{
    test_support::inventory inv;
    inv.add("/dev/nst0", "HP", "Ultrium", "J5SW");
    inv.add("/dev/nst1", "HP", "Ultrium", "J5SW");
    int def = 1;
    // 509 blanks, then "2" as character 510, then more beyond the cut.
    test_support::feed_stdin(std::string(509, ' ') + "2" + std::string(100000, '1') + "\n1\n");
    EXPECT_EQ(build_select_list(inv.head(), 2, &def), 1);
    EXPECT_EQ(inv.at(1)->state, DEV_SELECTED);
    EXPECT_EQ(build_select_list(inv.head(), 2, &def), 1);
    EXPECT_EQ(inv.at(0)->state, DEV_SELECTED);
}

TEST(Signals, DebugModeNamesEverySignalInOrder)
{
    const int none[] = {0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(disable_interrupts(none, OPT_DEBUG), 0);
    EXPECT_EQ(disable_interrupts(signal_list, OPT_DEBUG), 0);
    enable_interrupts(signal_list, OPT_DEBUG);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Disabling signal 2...\nDisabling signal 3...\nDisabling signal 15...\n"
              "Disabling signal 20...\nEnabling signal 2...\nEnabling signal 3...\n"
              "Enabling signal 15...\nEnabling signal 20...\n");
    testing::internal::CaptureStderr();
    const int bad[] = {SIGINT, SIGKILL, SIGTERM, 0};
    EXPECT_EQ(disable_interrupts(bad, 0), -1);
    enable_interrupts(signal_list, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "sigignore(9) failed - Invalid argument\n");
}

} // namespace
