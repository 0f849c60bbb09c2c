// The download engine against scripted drives: transfer sizes, the commands
// each row produces, refusals, failures and the tape eject.
#include <dlfcn.h>
#include <fcntl.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brisk.h"
#include "fake_host.h"
#include "test_support.h"

// Waits of the code under test are recorded instead of slept while a test
// asks for it; every other caller in this binary sleeps for real.
namespace dl_test {
bool fake_sleep = false;
std::vector<unsigned> slept;
} // namespace dl_test

extern "C" unsigned int sleep(unsigned int seconds)
{
    if (dl_test::fake_sleep) {
        dl_test::slept.push_back(seconds);
        return 0;
    }
    using sleep_fn = unsigned int (*)(unsigned int);
    static const sleep_fn real = reinterpret_cast<sleep_fn>(dlsym(RTLD_NEXT, "sleep"));
    return real(seconds);
}

namespace {

using fake_host::command;
using fake_host::reply;

const char pause_text[] = "\nPress <Enter> to Continue ";
const char dev[] = "/dev/null";

// One WRITE BUFFER as the drive saw it.
struct wb {
    int mode;
    uint32_t offset;
    uint32_t length;
    int control;
    int buffer_id = 0;
    bool operator==(const wb &) const = default;
};

void PrintTo(const wb &w, std::ostream *os)
{
    *os << "{mode " << w.mode << ", offset " << w.offset << ", length " << w.length
        << ", control " << w.control << ", id " << w.buffer_id << "}";
}

uint32_t be24(const std::vector<uint8_t> &c, size_t at)
{
    return (uint32_t{c[at]} << 16) | (uint32_t{c[at + 1]} << 8) | c[at + 2];
}

std::vector<wb> write_buffers()
{
    std::vector<wb> out;
    for (const command &c : fake_host::log()) {
        if (c.cdb[0] == 0x3B)
            out.push_back({c.cdb[1] & 0x1F, be24(c.cdb, 3), be24(c.cdb, 6), c.cdb[9] >> 7, c.cdb[2]});
    }
    return out;
}

std::vector<uint8_t> opcodes()
{
    std::vector<uint8_t> out;
    for (const command &c : fake_host::log())
        out.push_back(c.cdb[0]);
    return out;
}

// A drive: its block limits, its cartridge and the WRITE BUFFER it refuses.
struct drive {
    uint32_t max_block = 0xFFFFFF;
    uint32_t min_block = 1;
    int fail_write = -1; // index of the WRITE BUFFER that fails
    reply failure = fake_host::check_condition(5, 0x26);
    int writes = 0;

    reply answer(const command &c)
    {
        reply r;
        switch (c.cdb[0]) {
        case 0x05:
            r.data_in = {0,
                         static_cast<uint8_t>(max_block >> 16),
                         static_cast<uint8_t>(max_block >> 8),
                         static_cast<uint8_t>(max_block),
                         static_cast<uint8_t>(min_block >> 8),
                         static_cast<uint8_t>(min_block)};
            return r;
        case 0x00:
            return fake_host::check_condition(2, 0x3A);
        case 0x3B:
            if (writes++ == fail_write)
                return failure;
            return r;
        default:
            return r;
        }
    }
};

firmware_image make_image(long length, const char *path = "/fw/image.bin")
{
    firmware_image image;
    image.data.resize(static_cast<size_t>(length));
    for (long i = 0; i < length; ++i)
        image.data[static_cast<size_t>(i)] = static_cast<unsigned char>((i * 131 + i / 251) & 0xFF);
    image.file_status.st_size = length;
    snprintf(image.path, sizeof image.path, "%s", path);
    return image;
}

using test_support::captured;
using test_support::output;

bool ignored(int sig)
{
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    return now.sa_handler == SIG_IGN;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_host::reset();
        memcpy(saved, params_array, sizeof saved);
        dl_test::fake_sleep = true;
        dl_test::slept.clear();
        enable_interrupts(signal_list, 0);
        test_support::feed_stdin("\n\n\n\n");
    }
    void TearDown() override
    {
        memcpy(params_array, saved, sizeof saved);
        dl_test::fake_sleep = false;
        fake_host::reset();
        enable_interrupts(signal_list, 0);
        for (auto &r : inv.records) {
            if (r->fd >= 0)
                close(r->fd);
        }
    }

    device_entry *add(const char *vendor, const char *product, unsigned char type)
    {
        return inv.add(dev, vendor, product, "0001", "SN1", type);
    }

    void use(drive &d)
    {
        fake_host::handler = [&d](const command &c) { return d.answer(c); };
    }

    download_params saved[PARAMS_ROWS];
    test_support::inventory inv;
    scsi_cmd_block block{};
};

// ---- successful transfers, row by row ------------------------------------

struct transfer_case {
    const char *name;
    const char *vendor;
    const char *product;
    unsigned char type; // INQUIRY byte 0
    uint32_t max_block;
    uint32_t min_block;
    long image_len;
    long host_max;
    std::vector<wb> expected;
};

class Transfer : public Engine, public ::testing::WithParamInterface<transfer_case> {};

TEST_P(Transfer, SendsTheImageAsTheRowSays)
{
    const transfer_case &t = GetParam();
    drive d;
    d.max_block = t.max_block;
    d.min_block = t.min_block;
    use(d);
    fake_host::max_transfer = t.host_max;
    device_entry *e = add(t.vendor, t.product, t.type);
    e->state = DEV_DOWNLOADING;
    firmware_image image = make_image(t.image_len);

    const output o = captured([&] { check_n_download(e, &image, &block, 0); });

    EXPECT_EQ(write_buffers(), t.expected);
    EXPECT_EQ(o.out, std::string("\nDownloading ") + dev + "... please wait.\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(e->state, DEV_WRITING_FLASH);
    EXPECT_GE(e->fd, 0);
    EXPECT_EQ(strlen(e->download_time), 20u);
    EXPECT_TRUE(ignored(SIGINT) && ignored(SIGQUIT) && ignored(SIGTERM) && ignored(SIGTSTP));

    // The bytes reassemble to the image and each command points into the
    // loaded buffer itself.
    std::vector<uint8_t> sent;
    size_t at = 0;
    for (const command &c : fake_host::log()) {
        if (c.cdb[0] != 0x3B || c.buflen == 0)
            continue;
        EXPECT_EQ(c.bufaddr, image.data.data() + at);
        sent.insert(sent.end(), c.data_out.begin(), c.data_out.end());
        at += c.buflen;
    }
    EXPECT_EQ(sent, image.data);

    // Tapes: block limits first, then the eject check, then the data.
    std::vector<uint8_t> prefix;
    if (t.type == 1)
        prefix = {0x05, 0x00};
    const std::vector<uint8_t> ops = opcodes();
    ASSERT_GE(ops.size(), prefix.size());
    EXPECT_EQ(std::vector<uint8_t>(ops.begin(), ops.begin() + static_cast<long>(prefix.size())),
              prefix);
    EXPECT_EQ(ops.size(), prefix.size() + t.expected.size());
    EXPECT_EQ(dl_test::slept, t.type == 1 ? std::vector<unsigned>{5} : std::vector<unsigned>{});
}

const uint32_t VAR = 0xFFFFFF;

INSTANTIATE_TEST_SUITE_P(
    Rows, Transfer,
    ::testing::Values(
        // Row 8: its own 65536 escapes the variable-block limit; data in
        // mode 4 without offsets, closed by a zero-length mode 5 command.
        transfer_case{"HpUltrium", "HP", "Ultrium 3-SCSI", 1, VAR, 1, 150000, 0,
                      {{4, 0, 65536, 0}, {4, 0, 65536, 0}, {4, 0, 18928, 0}, {5, 0, 0, 0}}},
        // Row 10: 524288, 65534, then 65532 for block length 4, with offsets.
        transfer_case{"IbmVariable", "IBM", "ULT3580-TD4", 1, VAR, 1, 140000, 0,
                      {{4, 0, 65532, 0}, {4, 65532, 65532, 0}, {4, 131064, 8936, 0}}},
        // Row 12: 65534 down to a multiple of 8192; the last command saves.
        transfer_case{"QuantumSave", "QUANTUM", "SDLT600", 1, VAR, 1, 120000, 0,
                      {{4, 0, 57344, 0}, {4, 57344, 57344, 0}, {5, 114688, 5312, 0}}},
        // Row 11: DLT products take mode 5 and no save command.
        transfer_case{"QuantumDlt", "QUANTUM", "DLT7000", 1, VAR, 1, 60000, 0,
                      {{5, 0, 57344, 0}, {5, 57344, 2656, 0}}},
        // Row 5: the vendor bit on every command but the one with the last bytes.
        transfer_case{"ExabyteControl", "EXABYTE", "Mammoth2", 1, VAR, 1, 140000, 0,
                      {{5, 0, 65534, 1}, {5, 65534, 65534, 1}, {5, 131068, 8932, 0}}},
        // Row 13: mode 6, closed by mode 7 at the image length.
        transfer_case{"SeagateUltrium", "SEAGATE", "ULTRIUM06242-XXX", 1, VAR, 1, 70000, 0,
                      {{6, 0, 65534, 0}, {6, 65534, 4466, 0}, {7, 70000, 0, 0}}},
        // Fixed 512-byte blocks: 64512, then the drive's 512; a whole
        // multiple ends with a full-size command.
        transfer_case{"FixedBlockExactMultiple", "TANDBERG", "SLR100", 1, 512, 512, 1536, 0,
                      {{7, 0, 512, 0}, {7, 512, 512, 0}, {7, 1024, 512, 0}}},
        // Not a tape: only the pass-through limit applies.
        transfer_case{"OpticalFullSize", "TANDBERG", "RDX", 5, 0, 0, 1100000, 0,
                      {{7, 0, 524288, 0}, {7, 524288, 524288, 0}, {7, 1048576, 51424, 0}}},
        // A host queue of 20000 bytes: 19968, whole 512-byte units.
        transfer_case{"HostMaximum", "HP", "C1113J", 5, 0, 0, 50000, 20000,
                      {{4, 0, 19968, 0, 1}, {4, 0, 19968, 0, 1}, {4, 0, 10064, 0, 1}}},
        // A host maximum above the size in use changes nothing.
        transfer_case{"HostMaximumAbove", "HP", "C1113J", 5, 0, 0, 40000, 1310720,
                      {{4, 0, 32768, 0, 1}, {4, 0, 7232, 0, 1}}},
        // Block limits of 0: no maximum, minimum 1.
        transfer_case{"ZeroBlockLimits", "IBM", "ULT3580-TD4", 1, 0, 0, 70001, 0,
                      {{4, 0, 65532, 0}, {4, 65532, 4469, 0}}},
        // An empty image: nothing, or just the closing command.
        transfer_case{"EmptyImage", "IBM", "ULT3580-TD4", 1, VAR, 1, 0, 0, {}},
        transfer_case{"EmptyImageClosing", "SEAGATE", "ULTRIUM06242-XXX", 1, VAR, 1, 0, 0,
                      {{7, 0, 0, 0}}},
        // 16 MiB exactly: the last data offset is still below 2^24.
        transfer_case{"SixteenMebibytes", "TANDBERG", "RDX", 5, 0, 0, 16777216, 0,
                      [] {
                          std::vector<wb> v;
                          for (uint32_t off = 0; off < 16777216; off += 524288)
                              v.push_back({7, off, 524288, 0});
                          return v;
                      }()},
        // Without offsets the image length is not bounded by the field.
        transfer_case{"NoOffsetsBeyondSixteenMebibytes", "ADIC", "FastStor DLT", 5, 0, 0,
                      16777217, 0,
                      [] {
                          std::vector<wb> v(32, wb{5, 0, 524288, 0});
                          v.push_back({5, 0, 1, 0});
                          return v;
                      }()}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- refusals before anything is sent ------------------------------------

struct refusal_case {
    const char *name;
    const char *vendor;
    const char *product;
    unsigned char type;
    uint32_t max_block;
    uint32_t min_block;
    long image_len;
    std::string message;
};

class Refusal : public Engine, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(Refusal, ClosesAndPausesWithoutEjectOrSignals)
{
    const refusal_case &t = GetParam();
    drive d;
    d.max_block = t.max_block;
    d.min_block = t.min_block;
    use(d);
    device_entry *e = add(t.vendor, t.product, t.type);
    firmware_image image = make_image(t.image_len);

    const output o = captured([&] { check_n_download(e, &image, &block, 0); });

    EXPECT_EQ(o.err, t.message);
    EXPECT_EQ(o.out, pause_text);
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
    EXPECT_EQ(e->fd, -1);
    EXPECT_EQ(opcodes(), t.type == 1 ? std::vector<uint8_t>{0x05} : std::vector<uint8_t>{});
    EXPECT_FALSE(ignored(SIGINT));
    EXPECT_TRUE(dl_test::slept.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    ::testing::Values(
        refusal_case{"SingleCommandTooLarge", "ARCHIVE", "Python 28849", 1, VAR, 1, 70000,
                     "\nFirmware size 70000 is greater than maximum allowable\nlimit 65534 and "
                     "the drive does not support download\nwith multiple Write Buffer "
                     "commands.\nDownload aborted.\n"},
        refusal_case{"NotDivisibleByMinimum", "TANDBERG", "SLR100", 1, 512, 512, 1000,
                     "\nFirmware size 1000 is not evenly divisible by minimum block size "
                     "512.\nDownload not performed\n"},
        refusal_case{"MaximumBelowBlockLength", "IBM", "ULT3580-TD4", 1, 2, 1, 64,
                     "\nTransfer size is below the block length 4 of /dev/null.\nDownload not "
                     "performed\n"},
        refusal_case{"OffsetBeyondField", "TANDBERG", "RDX", 5, 0, 0, 16777217,
                     "\nFirmware size 16777217 is too large for buffer offsets (at most "
                     "16777215).\nDownload not performed\n"},
        // The closing command would carry the image length as its offset.
        refusal_case{"ClosingOffsetBeyondField", "SEAGATE", "ULTRIUM06242-XXX", 5, 0, 0,
                     16777216,
                     "\nFirmware size 16777216 is too large for buffer offsets (at most "
                     "16777215).\nDownload not performed\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, ReadBlockLimitsFailureIsRefused)
{
    fake_host::push(fake_host::check_condition(4, 0x44));
    device_entry *e = add("IBM", "ULT3580-TD4", 1);
    firmware_image image = make_image(100);
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(o.err, "Read Block Limits command failed\nDownload not performed\n");
    EXPECT_EQ(o.out, pause_text);
    EXPECT_EQ(e->fd, -1);
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
    EXPECT_EQ(opcodes(), std::vector<uint8_t>{0x05});
}

TEST_F(Engine, OpenFailureIsRefused)
{
    device_entry *e = inv.add("/nonexistent/nst9", "IBM", "ULT3580-TD4", "0001");
    firmware_image image = make_image(100);
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(o.err, "Unable to Open device </nonexistent/nst9>: error: No such file or "
                     "directory\nDownload not performed\n");
    EXPECT_EQ(o.out, pause_text);
    EXPECT_EQ(e->fd, -1);
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
    EXPECT_TRUE(fake_host::log().empty());
}

// ---- a WRITE BUFFER that fails --------------------------------------------

struct failure_case {
    const char *name;
    reply answer;
    std::string message;
};

class WriteFailure : public Engine, public ::testing::WithParamInterface<failure_case> {};

TEST_P(WriteFailure, StopsAtOnceAndKeepsTheDeviceOpen)
{
    drive d;
    d.fail_write = 1;
    d.failure = GetParam().answer;
    use(d);
    // Row 13 has a closing command pending: it must not follow the failure.
    device_entry *e = add("SEAGATE", "ULTRIUM06242-XXX", 1);
    firmware_image image = make_image(200000);
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });

    EXPECT_EQ(write_buffers(), (std::vector<wb>{{6, 0, 65534, 0}, {6, 65534, 65534, 0}}));
    EXPECT_EQ(o.err, GetParam().message);
    EXPECT_EQ(o.out, std::string("\nDownloading /dev/null... please wait.\n") + pause_text);
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
    EXPECT_GE(e->fd, 0);
    EXPECT_STREQ(e->download_time, "");
}

INSTANTIATE_TEST_SUITE_P(
    Senses, WriteFailure,
    ::testing::Values(failure_case{"InvalidImage", fake_host::check_condition(5, 0x26),
                                   "Write Buffer Command Failed; Aborting Download\n"
                                   "Firmware image file appears to be invalid or corrupted\n"},
                      failure_case{"OtherIllegalRequest", fake_host::check_condition(5, 0x24),
                                   "Write Buffer Command Failed; Aborting Download\n"},
                      failure_case{"HardwareError", fake_host::check_condition(4, 0x26),
                                   "Write Buffer Command Failed; Aborting Download\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, WriteFailureWithoutSenseIsNotReadAsAnInvalidImage)
{
    drive d;
    d.fail_write = 0;
    d.failure = reply{-1, EIO, 0, {}, {}, 0};
    use(d);
    // An optical drive: no test of the unit before the data, so the sense
    // an earlier drive left in the shared block is still there.
    device_entry *e = add("SEAGATE", "ULTRIUM06242-XXX", 5);
    const reply earlier = fake_host::check_condition(5, 0x26);
    memcpy(block.sense, earlier.sense.data(), earlier.sense.size());
    firmware_image image = make_image(1000);
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });

    EXPECT_EQ(o.err, "Unexpected USCSICMD ioctl error: Input/output error\n"
                     "Write Buffer Command Failed; Aborting Download\n");
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
}

// ---- option bits ----------------------------------------------------------

TEST_F(Engine, DebugModeSendsOnlyBlockLimitsAndShowsEachCommand)
{
    drive d;
    use(d);
    device_entry *e = add("IBM", "ULT3580-TD4", 1);
    firmware_image image = make_image(70000);
    const output o = captured([&] { check_n_download(e, &image, &block, OPT_DEBUG); });

    EXPECT_EQ(opcodes(), std::vector<uint8_t>{0x05});
    EXPECT_EQ(o.err, "Setting transfer size to 524288 because of system ioctl interface limits\n"
                     "Setting transfer size to 65534 because of ST_MAXRECSIZE_VARIABLE_LIMIT\n"
                     "Setting transfer size to 65532 to be divisible by blocklength 4\n"
                     "Disabling signal 2...\nDisabling signal 3...\nDisabling signal 15...\n"
                     "Disabling signal 20...\n");
    char first[128], second[128];
    snprintf(first, sizeof first, "\t'write_buffer(%d, 0x%lX, 65532, 0, 0, 4, 0, 0)'\n", e->fd,
             reinterpret_cast<unsigned long>(image.data.data()));
    snprintf(second, sizeof second, "\t'write_buffer(%d, 0x%lX, 4468, 65532, 0, 4, 0, 0)'\n",
             e->fd, reinterpret_cast<unsigned long>(image.data.data() + 65532));
    EXPECT_EQ(o.out, std::string("Opening Device: /dev/null\n"
                                 "If this weren't debug mode, I would eject the tape cartridge\n"
                                 "\nDownloading /dev/null... please wait.\n"
                                 "Downloading firmware of size: 65532 (partial)\n"
                                 "If this weren't debug mode, I would do \n") +
                         first +
                         "Downloading firmware of size: 4468\n"
                         "If this weren't debug mode, I would do \n" +
                         second);
    EXPECT_EQ(e->state, DEV_WRITING_FLASH);
    EXPECT_EQ(strlen(e->download_time), 20u);
    EXPECT_TRUE(dl_test::slept.empty());
}

TEST_F(Engine, DebugModeReportsTheHostMaximumAndFixedBlocks)
{
    drive d;
    d.max_block = d.min_block = 512;
    use(d);
    fake_host::max_transfer = 40000;
    device_entry *e = add("TANDBERG", "SLR100", 1);
    firmware_image image = make_image(512);
    const output o = captured([&] { check_n_download(e, &image, &block, OPT_DEBUG); });
    EXPECT_EQ(o.err.substr(0, o.err.find("Disabling")),
              "Setting transfer size to 524288 because of system ioctl interface limits\n"
              "Setting transfer size to 39936 because of system ioctl interface limits\n"
              "Setting transfer size to 512 because of tape max blocksize\n");

    // Fixed blocks under the record limit only when the size is above it.
    fake_host::reset();
    use(d);
    device_entry *f = add("TANDBERG", "SLR100", 1);
    const output p = captured([&] { check_n_download(f, &image, &block, OPT_DEBUG); });
    EXPECT_EQ(p.err.substr(0, p.err.find("Disabling")),
              "Setting transfer size to 524288 because of system ioctl interface limits\n"
              "Setting transfer size to 64512 because of ST_MAXRECSIZE_FIXED\n"
              "Setting transfer size to 512 because of tape max blocksize\n");
}

TEST_F(Engine, VerboseShowsProgressButNoSizeDecisions)
{
    drive d;
    use(d);
    device_entry *e = add("HP", "C1113J", 5);
    firmware_image image = make_image(40000);
    const output o = captured([&] { check_n_download(e, &image, &block, OPT_VERBOSE); });
    EXPECT_EQ(o.out, "Opening Device: /dev/null\n\nDownloading /dev/null... please wait.\n"
                     "Downloading firmware of size: 32768 (partial)\n"
                     "Downloading firmware of size: 7232\n");
    EXPECT_EQ(o.err.find("Setting transfer size"), std::string::npos);
    EXPECT_NE(o.err.find("Issuing the following SCSI command"), std::string::npos);
}

TEST_F(Engine, LimitOptionEscapesTheVariableBlockLimit)
{
    for (auto &row : params_array)
        row.xfer_size = 131072;
    drive d;
    use(d);
    device_entry *e = add("IBM", "ULT3580-TD4", 1);
    firmware_image image = make_image(140000);
    captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(write_buffers(), (std::vector<wb>{{4, 0, 131072, 0}, {4, 131072, 8928, 0}}));
}

TEST_F(Engine, TwoExabyteDrivesGetTheSameSequence)
{
    drive d;
    use(d);
    device_entry *a = add("EXABYTE", "Mammoth2", 1);
    device_entry *b = add("EXABYTE", "Mammoth2", 1);
    firmware_image image = make_image(70000);
    captured([&] { check_n_download(a, &image, &block, 0); });
    const std::vector<wb> first = write_buffers();
    fake_host::reset();
    use(d);
    captured([&] { check_n_download(b, &image, &block, 0); });
    EXPECT_EQ(write_buffers(), first);
    EXPECT_EQ(first, (std::vector<wb>{{5, 0, 65534, 1}, {5, 65534, 4466, 0}}));
}

// ---- the fall-back row ----------------------------------------------------

struct fallback_case {
    const char *name;
    const char *answer;
    bool offsets; // the fall-back row's use_offsets
    bool proceeds;
};

class Fallback : public Engine, public ::testing::WithParamInterface<fallback_case> {};

TEST_P(Fallback, AsksBeforeUsingTheDefaultRow)
{
    const fallback_case &t = GetParam();
    params_array[PARAMS_ROWS - 1].use_offsets = t.offsets ? 1 : 0;
    drive d;
    use(d);
    test_support::feed_stdin(t.answer);
    device_entry *e = add("NEWCO", "OPTIMA 9", 7);
    e->state = DEV_DOWNLOADING;
    firmware_image image = make_image(600000);
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });

    std::string question = "\nCannot determine firmware Download Mode for /dev/null.\nDo you want "
                           "to try default Download Mode (5) using\nmultiple Write Buffer commands ";
    question += t.offsets ? "with buffer offsets [N]? " : "and no buffer offsets [N]? ";
    if (t.proceeds) {
        EXPECT_EQ(o.out, question + "\nDownloading /dev/null... please wait.\n");
        const uint32_t second = t.offsets ? 524288 : 0;
        EXPECT_EQ(write_buffers(), (std::vector<wb>{{5, 0, 524288, 0}, {5, second, 75712, 0}}));
        EXPECT_EQ(e->state, DEV_WRITING_FLASH);
    } else {
        EXPECT_EQ(o.out, question);
        EXPECT_TRUE(fake_host::log().empty());
        EXPECT_EQ(e->state, DEV_AVAILABLE);
        EXPECT_EQ(e->fd, -1);
    }
    EXPECT_EQ(o.err, "");
}

INSTANTIATE_TEST_SUITE_P(Answers, Fallback,
                         ::testing::Values(fallback_case{"Yes", "y\n", true, true},
                                           fallback_case{"YesUpper", "Yes please\n", true, true},
                                           fallback_case{"No", "N\n", true, false},
                                           fallback_case{"Empty", "\n", true, false},
                                           fallback_case{"LeadingBlank", " y\n", true, false},
                                           fallback_case{"EndOfInput", "", true, false},
                                           fallback_case{"NoOffsetsRow", "y\n", false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, NoRowAtAllLeavesTheDeviceAvailable)
{
    snprintf(params_array[PARAMS_ROWS - 1].vendor, 25, "%s", "generic");
    device_entry *e = add("NEWCO", "OPTIMA 9", 7);
    e->state = DEV_DOWNLOADING;
    firmware_image image = make_image(100);
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(o.out, "Could not determine download parameters for /dev/null\n\n");
    EXPECT_EQ(e->state, DEV_AVAILABLE);
    EXPECT_TRUE(fake_host::log().empty());
}

// ---- tape eject -------------------------------------------------------------

const reply good{};
const reply empty_drive = fake_host::check_condition(2, 0x3A);
const char ejecting[] = "\nEjecting Tape out of the Tape Drive\n";
const char manual[] = "Please eject the tape manually to proceed\n";

struct eject_case {
    const char *name;
    int flags;
    std::vector<reply> answers; // in command order
    std::vector<uint8_t> ops;
    std::string out;
    std::string err;
    std::vector<unsigned> sleeps;
};

class Eject : public Engine, public ::testing::WithParamInterface<eject_case> {};

TEST_P(Eject, ReturnsOnlyOnceTheDriveIsEmpty)
{
    const eject_case &t = GetParam();
    for (const reply &r : t.answers)
        fake_host::push(r);
    const output o = captured([&] { eject_tape(7, &block, t.flags); });
    EXPECT_EQ(opcodes(), t.ops);
    EXPECT_EQ(o.out, t.out);
    EXPECT_EQ(o.err, t.err);
    EXPECT_EQ(dl_test::slept, t.sleeps);
    for (const command &c : fake_host::log()) {
        EXPECT_EQ(c.fd, 7);
        if (c.cdb[0] == 0x1B) {
            EXPECT_EQ(fake_host::hex(c.cdb), "1b 00 00 00 00 00");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, Eject,
    ::testing::Values(
        eject_case{"Debug", OPT_DEBUG, {}, {},
                   "If this weren't debug mode, I would eject the tape cartridge\n", "", {}},
        eject_case{"EmptyDrive", 0, {empty_drive}, {0x00}, "", "", {5}},
        eject_case{"NotReadyBecoming", 0, {fake_host::check_condition(2, 0x04, 0x01)}, {0x00},
                   "", "", {5}},
        eject_case{"LoadedDriveUnloads", 0, {good, good, empty_drive}, {0x00, 0x1B, 0x00},
                   ejecting, "", {5}},
        // A unit attention reads as a loaded drive.
        eject_case{"UnitAttention", 0, {fake_host::check_condition(6, 0x28), good, empty_drive},
                   {0x00, 0x1B, 0x00}, ejecting, "", {5}},
        // NOT READY for another reason is not an empty drive either.
        eject_case{"NotReadyOtherCause", 0,
                   {fake_host::check_condition(2, 0x30), good, empty_drive}, {0x00, 0x1B, 0x00},
                   ejecting, "", {5}},
        eject_case{"RefusedUnload", 0,
                   {good, fake_host::check_condition(5, 0x53, 0x02), empty_drive},
                   {0x00, 0x1B, 0x00}, std::string(ejecting) + manual + pause_text,
                   "Eject failed: Input/output error\n", {5}},
        // The unload went through but the cartridge is still reported:
        // a 5-second wait before the next test.
        eject_case{"SlowUnload", 0, {good, good, good, good, empty_drive},
                   {0x00, 0x1B, 0x00, 0x1B, 0x00}, std::string(ejecting) + ejecting, "",
                   {5, 5}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, EjectWithInputEndedTestsAgainAtTheSettlePace)
{
    // Nobody answers the manual-eject pause any more; the cartridge is
    // pulled by hand after the third refusal.
    const reply refused = fake_host::check_condition(5, 0x53, 0x02);
    for (const reply &r : {good, refused, good, refused, good, refused, empty_drive})
        fake_host::push(r);
    test_support::feed_stdin("");
    const output o = captured([&] { eject_tape(7, &block, 0); });
    EXPECT_EQ(opcodes(), (std::vector<uint8_t>{0x00, 0x1B, 0x00, 0x1B, 0x00, 0x1B, 0x00}));
    const std::string pass = std::string(ejecting) + manual + pause_text;
    EXPECT_EQ(o.out, pass + pass + pass);
    EXPECT_EQ(dl_test::slept, (std::vector<unsigned>{5, 5, 5, 5}));
}

TEST_F(Engine, EjectVerboseAnnouncesTheCheck)
{
    fake_host::push(empty_drive);
    const output o = captured([&] { eject_tape(7, &block, OPT_VERBOSE); });
    EXPECT_EQ(o.out, "Checking for loaded tape cartridge\n");
}

TEST_F(Engine, EjectDriveThatNeverLetsGoAsksTheOperatorEveryTwelvePasses)
{
    // The drive accepts every unload and keeps its cartridge for 26 tests.
    int tests = 0;
    fake_host::handler = [&tests](const command &c) {
        if (c.cdb[0] == 0x00 && ++tests > 26)
            return empty_drive;
        return good;
    };
    test_support::feed_stdin("\n\n\n");
    const output o = captured([&] { eject_tape(7, &block, 0); });

    std::string expected;
    std::vector<unsigned> sleeps;
    int stuck = 0;
    for (int pass = 1; pass <= 26; ++pass) {
        expected += ejecting;
        if (pass == 1)
            continue;
        if (++stuck == 12) {
            expected += std::string(manual) + pause_text;
            stuck = 0;
        } else {
            sleeps.push_back(5);
        }
    }
    sleeps.push_back(5);
    EXPECT_EQ(o.out, expected);
    EXPECT_EQ(dl_test::slept, sleeps);
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), 'P'), 4); // two manual prompts, two pauses
}

} // namespace
