// The TOSHIBA unlock: the hexadecimal image, the page 88h exchanges, the
// patched trailer, the refusals, and the download that follows.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brisk.h"
#include "fake_host.h"
#include "test_support.h"

namespace {

using fake_host::command;
using fake_host::reply;
using record = std::array<uint8_t, 32>;

const char dev[] = "/dev/null";

std::vector<record> make_records(size_t n, int seed)
{
    std::vector<record> out(n);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < 32; ++j)
            out[i][j] = static_cast<uint8_t>(i * 37 + j * 11 + static_cast<size_t>(seed));
    }
    return out;
}

// One line of the file: nine columns of address, the 32 bytes, then a tail
// (without it the newline is not seen and the next line is lost).
std::string line_of(const record &r, size_t index, bool tail = true)
{
    char head[16];
    snprintf(head, sizeof head, ":20%06zX", index * 32);
    std::string s = head;
    const char *digits = index % 2 ? "0123456789abcdef" : "0123456789ABCDEF";
    for (uint8_t b : r) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    if (tail)
        s += "C7";
    return s + "\n";
}

const std::string header = ":HEADER 0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
                           "0123456789 this whole line is ignored\n";

std::string text_of(const std::vector<record> &recs)
{
    std::string text = header;
    for (size_t i = 0; i < recs.size(); ++i)
        text += line_of(recs[i], i);
    return text;
}

std::vector<uint8_t> flatten(const std::vector<record> &recs)
{
    std::vector<uint8_t> out;
    for (const record &r : recs)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

firmware_image image_of(const std::string &text)
{
    firmware_image image;
    image.data.assign(text.begin(), text.end());
    image.file_status.st_size = static_cast<long>(text.size());
    snprintf(image.path, sizeof image.path, "%s", "/fw/toshiba.hex");
    return image;
}

// A diagnostic page 88h of 76 bytes, its bytes after the header marked by seed.
std::vector<uint8_t> page(int seed, uint16_t length = 72)
{
    std::vector<uint8_t> p(76);
    for (size_t i = 4; i < p.size(); ++i)
        p[i] = static_cast<uint8_t>(i * 5 + static_cast<size_t>(seed));
    p[0] = 0x88;
    p[2] = static_cast<uint8_t>(length >> 8);
    p[3] = static_cast<uint8_t>(length);
    return p;
}

// What the drive must receive: the converted bytes with the answers in the
// last 128 bytes of 48 KiB, the sum and the marker; then whatever the
// buffer holds up to the image length.
std::vector<uint8_t> expected_image(std::vector<uint8_t> bytes, const std::string &text,
                                    const std::vector<uint8_t> &first,
                                    const std::vector<uint8_t> &second)
{
    const size_t n = bytes.size();
    for (size_t k = n; k < n + 3; ++k)
        bytes.push_back(static_cast<uint8_t>(text[k]));
    std::copy(first.begin() + 6, first.begin() + 56, bytes.begin() + 49024);
    std::copy(first.begin() + 66, first.begin() + 70, bytes.begin() + 49084);
    std::copy(second.begin() + 6, second.begin() + 70, bytes.begin() + 49088);
    unsigned sum = 0;
    for (size_t k = 0; k < 49152; ++k)
        sum += bytes[k];
    bytes[49152] = static_cast<uint8_t>((sum / 256) % 256);
    bytes[49153] = static_cast<uint8_t>(sum % 256);
    bytes[49154] = 'F';
    bytes[49155] = 'l';
    bytes[49156] = 0;
    return bytes;
}

// A drive answering the two exchanges with its own pages; the command at
// position fail_at (counted from 0) fails.
struct toshiba {
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    int fail_at = -1;
    int receives = 0;
    int seen = 0;

    reply answer(const command &c)
    {
        if (seen++ == fail_at)
            return fake_host::check_condition(5, 0x24);
        reply r;
        if (c.cdb[0] == 0x1C)
            r.data_in = receives++ < 2 ? first : second;
        return r;
    }
};

using test_support::captured;
using test_support::output;

std::vector<uint8_t> sent_image()
{
    std::vector<uint8_t> out;
    for (const command &c : fake_host::log()) {
        if (c.cdb[0] == 0x3B)
            out.insert(out.end(), c.data_out.begin(), c.data_out.end());
    }
    return out;
}

class Unlock : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_host::reset();
        test_support::feed_stdin("\n\n\n");
    }
    void TearDown() override
    {
        fake_host::reset();
        enable_interrupts(signal_list, 0);
        for (auto &r : inv.records) {
            if (r->fd >= 0)
                close(r->fd);
        }
    }
    void use(toshiba &t)
    {
        fake_host::handler = [&t](const command &c) { return t.answer(c); };
    }
    // Optical type, so no tape eject follows.
    device_entry *add(const char *vendor = "TOSHIBA", const char *path = dev)
    {
        return inv.add(path, vendor, "DVD-ROM SD-M1401", "1009", "", 0x05);
    }

    test_support::inventory inv;
    scsi_cmd_block block{};
};

TEST_F(Unlock, SequenceThenDownloadOfThePatchedImage)
{
    const auto recs = make_records(1540, 3);
    const std::string text = text_of(recs);
    firmware_image image = image_of(text);
    toshiba drive{page(1), page(2)};
    use(drive);
    device_entry *e = add();

    const output o = captured([&] { check_n_download(e, &image, &block, 0); });

    std::vector<std::string> cdbs;
    for (const command &c : fake_host::log())
        cdbs.push_back(fake_host::hex(c.cdb));
    const std::vector<std::string> expected_cdbs = {
        "1d 00 00 00 0a 00", "1c 00 00 00 06 00", "1c 00 00 00 4c 00", "1d 00 00 00 0a 00",
        "1c 00 00 00 06 00", "1c 00 00 00 4c 00", "1b 00 00 00 02 00", "1d 00 00 00 08 00",
        "3b 05 00 00 00 00 00 c0 83 00"};
    EXPECT_EQ(cdbs, expected_cdbs);
    const auto &log = fake_host::log();
    ASSERT_EQ(log.size(), expected_cdbs.size());
    EXPECT_EQ(fake_host::hex(log[0].data_out), "88 00 00 06 00 d0 40 bf 80 00");
    EXPECT_EQ(fake_host::hex(log[3].data_out), "88 00 00 06 00 d0 40 bf c0 00");
    EXPECT_EQ(fake_host::hex(log[7].data_out), "88 00 00 04 00 f0 ff 00");
    EXPECT_EQ(log[2].buflen, 76u);

    EXPECT_EQ(image.converted, 1);
    EXPECT_EQ(image.file_status.st_size, 1540 * 32 + 3);
    EXPECT_EQ(image.data.size(), text.size());
    EXPECT_EQ(sent_image(), expected_image(flatten(recs), text, page(1), page(2)));
    EXPECT_EQ(o.out, "\nDownloading /dev/null... please wait.\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(e->state, DEV_WRITING_FLASH);
}

TEST_F(Unlock, TwoDrivesShareOneConversionAndTheNextVendorGetsItToo)
{
    const auto recs = make_records(1600, 9);
    const std::string text = text_of(recs);
    firmware_image image = image_of(text);
    toshiba one{page(10), page(20)};
    toshiba two{page(30), page(40)};
    device_entry *a = add();
    device_entry *b = add();
    device_entry *c = inv.add(dev, "HP", "C1113J", "0001", "", 0x05);

    use(one);
    captured([&] { check_n_download(a, &image, &block, 0); });
    EXPECT_EQ(sent_image(), expected_image(flatten(recs), text, page(10), page(20)));

    fake_host::reset();
    use(two);
    captured([&] { check_n_download(b, &image, &block, 0); });
    const auto second = expected_image(flatten(recs), text, page(30), page(40));
    EXPECT_EQ(sent_image(), second);
    EXPECT_EQ(image.file_status.st_size, 1600 * 32 + 3);

    fake_host::reset();
    captured([&] { check_n_download(c, &image, &block, 0); });
    EXPECT_EQ(sent_image(), second);
    for (const command &cmd : fake_host::log())
        EXPECT_EQ(cmd.cdb[0], 0x3B);
    EXPECT_EQ(c->state, DEV_WRITING_FLASH);
}

TEST_F(Unlock, LineRulesHalfPairAndClosedDescriptor)
{
    auto recs = make_records(1560, 5);
    std::string text = header;
    for (size_t i = 0; i < recs.size(); ++i)
        text += line_of(recs[i], i, i != 700); // line 701 is then read as nothing
    text += "123456789A";                      // a half pair at the very end
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < recs.size(); ++i) {
        if (i != 701)
            bytes.insert(bytes.end(), recs[i].begin(), recs[i].end());
    }
    bytes.push_back(0x0A);
    firmware_image image = image_of(text);
    toshiba drive{page(7), page(8)};
    use(drive);
    device_entry *e = add();

    int result = 0;
    const output o = captured([&] { result = unlock_toshiba(e, &image, &block, 0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(image.file_status.st_size, static_cast<long>(bytes.size()) + 3);
    const auto expected = expected_image(bytes, text, page(7), page(8));
    EXPECT_EQ(std::vector<uint8_t>(image.data.begin(),
                                   image.data.begin() + static_cast<long>(expected.size())),
              expected);
    ASSERT_FALSE(fake_host::log().empty());
    EXPECT_EQ(fcntl(fake_host::log().front().fd, F_GETFD), -1);
}

TEST_F(Unlock, LongerPageNeverOverrunsTheResponseArea)
{
    const auto recs = make_records(1540, 1);
    firmware_image image = image_of(text_of(recs));
    toshiba drive{page(1, 400), page(2, 400)};
    use(drive);
    device_entry *e = add();
    EXPECT_EQ(unlock_toshiba(e, &image, &block, 0), 0);
    for (const command &c : fake_host::log()) {
        if (c.cdb[0] == 0x1C) {
            EXPECT_LE(c.buflen, 76u);
        }
    }
}

TEST_F(Unlock, DebugModeStillSendsTheWholeSequence)
{
    firmware_image image = image_of(text_of(make_records(1540, 2)));
    toshiba drive{page(1), page(2)};
    use(drive);
    device_entry *e = add();
    captured([&] { check_n_download(e, &image, &block, OPT_DEBUG); });
    std::vector<uint8_t> ops;
    for (const command &c : fake_host::log())
        ops.push_back(c.cdb[0]);
    EXPECT_EQ(ops, (std::vector<uint8_t>{0x1D, 0x1C, 0x1C, 0x1D, 0x1C, 0x1C, 0x1B, 0x1D}));
    EXPECT_EQ(e->state, DEV_WRITING_FLASH);
}

// ---- refusals ---------------------------------------------------------------

struct small_case {
    const char *name;
    std::string text;
    long reported;
};

class TooSmall : public Unlock, public ::testing::WithParamInterface<small_case> {};

TEST_P(TooSmall, RefusedBeforeAnythingIsWrittenOrSent)
{
    const small_case &t = GetParam();
    firmware_image image = image_of(t.text);
    device_entry *e = add();
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(o.err, "Firmware image for /dev/null is too small for the drive unlock (" +
                         std::to_string(t.reported) + " bytes)\n");
    EXPECT_EQ(o.out, "Could not unlock /dev/null\n\n");
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
    EXPECT_EQ(e->fd, -1);
    EXPECT_TRUE(fake_host::log().empty());
    EXPECT_EQ(image.converted, 0);
    EXPECT_EQ(std::string(image.data.begin(), image.data.end()), t.text);
}

INSTANTIATE_TEST_SUITE_P(
    Images, TooSmall,
    ::testing::Values(small_case{"TinyBuffer", std::string(100, '7'), 100},
                      small_case{"BufferJustShort", std::string(49156, '\n'), 49156},
                      small_case{"ConvertsTooLittle", text_of(make_records(1000, 4)), 32000},
                      small_case{"NoNewline", std::string(60000, 'A'), 0}),
    [](const auto &info) { return std::string(info.param.name); });

struct failing_step {
    const char *name;
    int fail_at;
    const char *message;
};

class ExchangeFailure : public Unlock, public ::testing::WithParamInterface<failing_step> {};

TEST_P(ExchangeFailure, StopsAtTheFailingCommand)
{
    const failing_step &t = GetParam();
    firmware_image image = image_of(text_of(make_records(1540, 6)));
    toshiba drive{page(1), page(2), t.fail_at};
    use(drive);
    device_entry *e = add();
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(o.err, t.message);
    EXPECT_EQ(o.out, "Could not unlock /dev/null\n\n");
    ASSERT_EQ(fake_host::log().size(), static_cast<size_t>(t.fail_at + 1));
    EXPECT_EQ(fcntl(fake_host::log().front().fd, F_GETFD), -1); // the unlock closed it
    EXPECT_EQ(e->state, DEV_UPDATE_FAILED);
    EXPECT_EQ(e->fd, -1);
    EXPECT_EQ(image.converted, 1);
}

const char unable[] = "Unable to Unlock device </dev/null>\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, ExchangeFailure,
    ::testing::Values(failing_step{"FirstSend", 0, unable}, failing_step{"FirstHeader", 1, unable},
                      failing_step{"FirstPage", 2, unable}, failing_step{"SecondSend", 3, unable},
                      failing_step{"SecondHeader", 4, unable},
                      failing_step{"SecondPage", 5, unable},
                      failing_step{"TrayEject", 6, "Cannot eject Tray </dev/null>\n"},
                      failing_step{"ThirdSend", 7, unable}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Unlock, OpenFailureNamesTheError)
{
    firmware_image image = image_of(text_of(make_records(1540, 6)));
    device_entry *e = add("TOSHIBA", "/nonexistent/sr7");
    const output o = captured([&] { check_n_download(e, &image, &block, 0); });
    EXPECT_EQ(o.err,
              "Unable to Unlock device </nonexistent/sr7>: error: No such file or directory\n");
    EXPECT_EQ(o.out, "Could not unlock /nonexistent/sr7\n\n");
    EXPECT_TRUE(fake_host::log().empty());
}

} // namespace
