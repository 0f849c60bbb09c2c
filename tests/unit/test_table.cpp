// The device table: row layout, name rules, unprintable bytes, states and
// paging when standard output is not a terminal.
#include <string>

#include <gtest/gtest.h>

#include "brisk.h"
#include "test_support.h"

namespace {

const std::string header =
    "\fATTACHED DEVICES:\n\n"
    "Device        \tSupplier  Product           Rev   Serial Number  Device State\n"
    "--------------\t--------  ----------------  ----  -------------  -------------\n";

std::string row_of(const device_entry *e)
{
    testing::internal::CaptureStdout();
    print_scsi_info(e);
    return testing::internal::GetCapturedStdout();
}

struct name_case {
    const char *path;
    const char *shown; // the name field up to the tab
};

class NameField : public ::testing::TestWithParam<name_case> {};

TEST_P(NameField, NineCharactersAndTheMark)
{
    test_support::inventory inv;
    const device_entry *e = inv.add(GetParam().path, "HP", "Ultrium", "J5SW");
    const std::string row = row_of(e);
    EXPECT_EQ(row.substr(0, row.find('\t')), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Names, NameField,
                         ::testing::Values(name_case{"/dev/nst0", "nst0     "},
                                           name_case{"/dev/rmt/0ln", "0ln      "},
                                           name_case{"/dev/rdsk/c0t0d0s2", "c0t0d0s2 "},
                                           name_case{"/dev/rdsk/c10t10d0s2", "c10t10d0s..."},
                                           name_case{"/dev/abcdefghi-", "abcdefghi"},
                                           name_case{"/dev/abcdefghiJ", "abcdefghi..."},
                                           name_case{"nst7", "nst7     "},
                                           name_case{"/dev/", "         "}));

TEST(Row, FieldsKeepTheirWidthsWhateverTheBytes)
{
    test_support::inventory inv;
    device_entry *e = inv.add("/dev/nst0", "HP", "Ultrium 6-SCSI", "J5SW", "HU1234");
    e->inquiry_data[9] = 0x07;  // a control byte in the vendor field
    e->inquiry_data[20] = 0xE9; // a byte above 7-bit ASCII
    EXPECT_EQ(row_of(e),
              "nst0     \tH         Ultr um 6-SCSI    J5SW  HU1234         Available    \n");
}

TEST(Row, StateTexts)
{
    const struct {
        int32_t state;
        const char *text;
    } states[] = {{DEV_UNKNOWN, "Unavailable  "},     {DEV_AVAILABLE, "Available    "},
                  {DEV_UPDATE_FAILED, "Update failed"}, {DEV_SELECTED, "Selected     "},
                  {DEV_DOWNLOADING, "Downloading  "},   {DEV_WRITING_FLASH, "Writing Flash"},
                  {DEV_FW_UPGRADED, "F/W Upgraded "},   {7, "Unavailable  "},
                  {-1, "Unavailable  "}};
    for (const auto &s : states) {
        test_support::inventory inv;
        device_entry *e = inv.add("/dev/nst0", "HP", "Ultrium", "J5SW");
        e->state = s.state;
        const std::string row = row_of(e);
        EXPECT_EQ(row.substr(row.size() - 14), std::string(s.text) + "\n") << s.state;
    }
}

TEST(Table, EmptyListGivesTheNotice)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(display_all_devices_info(nullptr, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nNO SUPPORTED DEVICES FOUND\n\n");
}

TEST(Table, PipeOutputPausesAfterEverySixteenRowsButNotAfterTheLast)
{
    for (int devices : {16, 17, 33}) {
        test_support::inventory inv;
        for (int i = 0; i < devices; ++i)
            inv.add(("/dev/nst" + std::to_string(i)).c_str(), "HP", "Ultrium", "J5SW");
        test_support::feed_stdin("\n\n\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(display_all_devices_info(inv.head(), 1), devices);
        const std::string out = testing::internal::GetCapturedStdout();
        size_t pauses = 0;
        size_t headers = 0;
        for (size_t p = 0; (p = out.find("Press <Enter> to Continue ", p)) != std::string::npos; ++p)
            ++pauses;
        for (size_t p = 0; (p = out.find(header, p)) != std::string::npos; ++p)
            ++headers;
        EXPECT_EQ(pauses, static_cast<size_t>((devices - 1) / 16)) << devices;
        EXPECT_EQ(headers, pauses + 1) << devices;
        EXPECT_EQ(out.rfind("1:nst0     \t", header.size()), header.size());

        // Without pauses the whole table comes at once.
        testing::internal::CaptureStdout();
        display_all_devices_info(inv.head(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout().find("Press"), std::string::npos);
    }
}

TEST(Table, PrintcharsCountsAndBlanks)
{
    const unsigned char text[] = {'A', 'B', 0x00, 0x7F, 0x80, '~'};
    testing::internal::CaptureStdout();
    EXPECT_EQ(printchars(text, 6), text + 6);
    EXPECT_EQ(printchars(text, 0), text);
    EXPECT_EQ(printchars(text, -3), text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "AB   ~");
}

} // namespace
