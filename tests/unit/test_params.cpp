// The table of download methods: which row a device and a file get, and
// the printed table.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "brisk.h"
#include "test_support.h"

namespace {

struct lookup_case {
    const char *vendor;  // INQUIRY bytes 8-15, blank padded
    const char *product; // INQUIRY bytes 16-31, blank padded
    const char *path;
    int row; // 1-based
};

class Lookup : public ::testing::TestWithParam<lookup_case> {};

TEST_P(Lookup, FirstMatchingRow)
{
    const lookup_case &t = GetParam();
    test_support::inventory inv;
    const device_entry *e = inv.add("/dev/nst0", t.vendor, t.product, "0001");
    const download_params *row = get_download_params(e, t.path);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row - params_array + 1, t.row) << t.vendor << "/" << t.product << " " << t.path;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Lookup,
    ::testing::Values(
        lookup_case{"HP", "Ultrium 3-SCSI", "/fw/hp.bin", 8},
        lookup_case{"HP", "C7438A", "/fw/hp.bin", 9},
        lookup_case{"HP", "ThinStor", "/fw/S_R_lib.bin", 6},
        lookup_case{"HP", "ThinStor", "/fw/lib.bin", 7},
        lookup_case{"ADIC", "FastStor 2", "/fw/S_R_image.bin", 1},
        lookup_case{"ADIC", "FastStor 2", "/fw/image.bin", 2},
        lookup_case{"ADIC", "FastStor 2", "", 1}, // as the recovery tracking asks
        lookup_case{"ADIC", "FastStor 2", "/S_R_dir/image.bin", 1},
        lookup_case{"ADIC", "FastStor2", "/fw/image.bin", 3},
        lookup_case{"ADIC", "FastStor DLT", "/fw/S_R_image.bin", 3},
        lookup_case{"ADIC", "Scalar 24", "/fw/image.bin", 18},
        lookup_case{"ARCHIVE", "Python 28849", "/fw/a.bin", 4},
        lookup_case{"EXABYTE", "Mammoth2", "/fw/a.bin", 5},
        lookup_case{"IBM", "ULT3580-TD4", "/fw/a.bin", 10},
        lookup_case{"IBMX", "ANYTHING", "/fw/a.bin", 10}, // a prefix of the vendor field
        lookup_case{"QUANTUM", "DLT7000", "/fw/a.bin", 11},
        lookup_case{"QUANTUM", "SDLT600", "/fw/a.bin", 12},
        lookup_case{"SEAGATE", "ULTRIUM06242-XXX", "/fw/a.bin", 13},
        lookup_case{"SEAGATE", "STT20000N", "/fw/a.bin", 14},
        lookup_case{"STK", "9840", "/fw/a.bin", 15},
        lookup_case{"TANDBERG", "SLR100", "/fw/a.bin", 16},
        lookup_case{"TOSHIBA", "DVD-ROM", "/fw/a.hex", 17},
        lookup_case{"default", "x", "/fw/a.bin", 18},
        lookup_case{"NEWCO", "OPTIMA 9", "/fw/a.bin", 18},
        lookup_case{"hp", "Ultrium 3-SCSI", "/fw/a.bin", 18}, // exact case
        lookup_case{"", "", "/fw/a.bin", 18},                 // blanks only
        lookup_case{" HP", "Ultrium", "/fw/a.bin", 18}));

TEST(ParamsLookup, NothingWithoutAFallBackRow)
{
    download_params saved = params_array[PARAMS_ROWS - 1];
    snprintf(params_array[PARAMS_ROWS - 1].vendor, 25, "%s", "generic");
    test_support::inventory inv;
    const device_entry *e = inv.add("/dev/nst0", "NEWCO", "OPTIMA 9", "0001");
    EXPECT_EQ(get_download_params(e, "/fw/a.bin"), nullptr);
    // A listed vendor still finds its own row.
    const device_entry *hp = inv.add("/dev/nst1", "HP", "C7438A", "0001");
    EXPECT_EQ(get_download_params(hp, "/fw/a.bin"), &params_array[8]);
    params_array[PARAMS_ROWS - 1] = saved;
}

TEST(ParamsLookup, FallBackRowTest)
{
    for (int i = 0; i < PARAMS_ROWS; ++i)
        EXPECT_EQ(is_fallback_row(&params_array[i]), i == PARAMS_ROWS - 1) << "row " << i + 1;
    download_params row = params_array[0];
    snprintf(row.vendor, sizeof row.vendor, "%s", "def");
    EXPECT_TRUE(is_fallback_row(&row));
    snprintf(row.vendor, sizeof row.vendor, "%s", "defaults");
    EXPECT_FALSE(is_fallback_row(&row));
}

TEST(ParamsTable, RowsAsBuilt)
{
    // vendor, product, match, recovery, mode, control, commands, id, offsets, save, xfer, block
    const download_params expected[PARAMS_ROWS] = {
        {"ADIC", "FastStor 2", "S_R_", 30, 5, 0, 1, 0x81, 0, 0, 0, 0},
        {"ADIC", "FastStor 2", "", 30, 5, 0, 1, 0x82, 0, 0, 0, 0},
        {"ADIC", "FastStor", "", 240, 5, 0, 0, 0, 0, 0, 0, 0},
        {"ARCHIVE", "", "", 240, 5, 0, 1, 0, 1, 0, 0, 0},
        {"EXABYTE", "", "", 240, 5, 1, 0, 0, 1, 0, 0, 0},
        {"HP", "ThinStor", "S_R_", 30, 5, 0, 1, 0x81, 0, 0, 0, 0},
        {"HP", "ThinStor", "", 30, 5, 0, 1, 0x82, 0, 0, 0, 0},
        {"HP", "Ultrium", "", 120, 4, 0, 0, 0, 0, 2, 65536, 0},
        {"HP", "", "", 240, 4, 0, 0, 1, 0, 0, 32768, 0},
        {"IBM", "", "", 120, 4, 0, 0, 0, 1, 0, 0, 4},
        {"QUANTUM", "DLT", "", 240, 5, 0, 0, 0, 1, 0, 0, 8192},
        {"QUANTUM", "", "", 240, 4, 0, 0, 0, 1, 1, 0, 8192},
        {"SEAGATE", "ULTRIUM", "", 240, 6, 0, 0, 0, 1, 2, 0, 0},
        {"SEAGATE", "", "", 240, 5, 0, 0, 0, 1, 0, 8192, 0},
        {"STK", "", "", 240, 6, 0, 0, 0, 0, 1, 0, 4},
        {"TANDBERG", "", "", 240, 7, 0, 0, 0, 1, 0, 0, 0},
        {"TOSHIBA", "", "", 240, 5, 0, 0, 0, 1, 0, 0, 0},
        {"default", "", "", 240, 5, 0, 0, 0, 1, 0, 0, 4},
    };
    for (int i = 0; i < PARAMS_ROWS; ++i) {
        const download_params &a = params_array[i];
        const download_params &b = expected[i];
        SCOPED_TRACE("row " + std::to_string(i + 1));
        EXPECT_STREQ(a.vendor, b.vendor);
        EXPECT_STREQ(a.product, b.product);
        EXPECT_STREQ(a.file_match, b.file_match);
        EXPECT_EQ(a.recovery_time, b.recovery_time);
        EXPECT_EQ(a.wb_mode, b.wb_mode);
        EXPECT_EQ(a.control, b.control);
        EXPECT_EQ(a.commands, b.commands);
        EXPECT_EQ(a.buffer_id, b.buffer_id);
        EXPECT_EQ(a.use_offsets, b.use_offsets);
        EXPECT_EQ(a.final_save, b.final_save);
        EXPECT_EQ(a.xfer_size, b.xfer_size);
        EXPECT_EQ(a.block_length, b.block_length);
    }
}

const char table_head[] = "\n\nSupplier    \tProduct ID\tMode\tControl\tCommands\tXfer Size\n"
                          "------------\t----------\t----\t-------\t--------\t---------\n";

std::string display()
{
    testing::internal::CaptureStdout();
    display_download_params();
    return testing::internal::GetCapturedStdout();
}

TEST(ParamsTable, DisplayAsBuilt)
{
    const std::string expected = std::string(table_head) +
                                 "ADIC      \tFastStor 2   \t  5\t   0\tSingle  \n"
                                 "ADIC      \tFastStor 2   \t  5\t   0\tSingle  \n"
                                 "ADIC      \tFastStor   \t  5\t   0\tMultiple\n"
                                 "ARCHIVE      \t           \t  5\t   0\tSingle  \n"
                                 "EXABYTE      \t           \t  5\t   1\tMultiple\n"
                                 "HP      \tThinStor   \t  5\t   0\tSingle  \n"
                                 "HP      \tThinStor   \t  5\t   0\tSingle  \n"
                                 "HP      \tUltrium   \t  4\t   0\tMultiple\t   10000h\n"
                                 "HP      \t           \t  4\t   0\tMultiple\t    8000h\n"
                                 "IBM      \t           \t  4\t   0\tMultiple\n"
                                 "QUANTUM      \tDLT   \t  5\t   0\tMultiple\n"
                                 "QUANTUM      \t           \t  4\t   0\tMultiple\n"
                                 "SEAGATE      \tULTRIUM   \t  6\t   0\tMultiple\n"
                                 "SEAGATE      \t           \t  5\t   0\tMultiple\t    2000h\n"
                                 "STK      \t           \t  6\t   0\tMultiple\n"
                                 "TANDBERG      \t           \t  7\t   0\tMultiple\n"
                                 "TOSHIBA      \t           \t  5\t   0\tMultiple\n"
                                 "default      \t           \t  5\t   0\tMultiple\n";
    EXPECT_EQ(display(), expected);
}

TEST(ParamsTable, DisplayAfterLimitOption)
{
    download_params saved[PARAMS_ROWS];
    memcpy(saved, params_array, sizeof saved);
    for (auto &row : params_array)
        row.xfer_size = 1024;
    const std::string shown = display();
    memcpy(params_array, saved, sizeof saved);

    ASSERT_EQ(shown.compare(0, strlen(table_head), table_head), 0);
    size_t rows = 0;
    size_t at = strlen(table_head);
    while (at < shown.size()) {
        const size_t end = shown.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = shown.substr(at, end - at);
        EXPECT_EQ(line.substr(line.size() - 10), "\t     400h") << line;
        at = end + 1;
        ++rows;
    }
    EXPECT_EQ(rows, static_cast<size_t>(PARAMS_ROWS));
}

} // namespace
