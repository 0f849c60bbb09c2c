// Every command builder: what reaches the host, grouped by command set.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "uscsi_sbc.h"
#include "uscsi_spc.h"
#include "uscsi_ssc.h"

namespace {

unsigned char in_buf[65536];
unsigned char out_buf[0x20000]; // room for a three-byte transfer length

struct builder_case {
    const char *name;
    std::function<int(scsi_cmd_block *)> call;
    std::string cdb;      // hex, all bytes sent
    int32_t flags;        // as handed to the host (0x10007 added at trace level 0)
    uint32_t buflen;
    int16_t timeout;
};

class Builder : public ::testing::TestWithParam<builder_case> {};

TEST_P(Builder, FillsTheRequest)
{
    fake_host::reset();
    scsi_cmd_block block = {};
    block.data_in = in_buf;
    block.data_out = out_buf;
    out_buf[2] = 0x00;
    out_buf[3] = 0x08; // FORMAT UNIT parameter header: defect list length 8
    const builder_case &c = GetParam();
    c.call(&block);
    ASSERT_FALSE(fake_host::log().empty());
    const auto &cmd = fake_host::log().back();
    EXPECT_EQ(fake_host::hex(cmd.cdb), c.cdb);
    EXPECT_EQ(cmd.flags, c.flags | 0x10007);
    EXPECT_EQ(cmd.buflen, c.buflen);
    EXPECT_EQ(cmd.timeout, c.timeout);
    EXPECT_EQ(cmd.senselen, 20);
    EXPECT_TRUE(cmd.has_sensebuf);
}

const int R = 0x8; // read bit

std::string case_name(const ::testing::TestParamInfo<builder_case> &info)
{
    std::string n = info.param.name;
    for (char &c : n) {
        if (c == '-')
            c = '_';
    }
    return n;
}

INSTANTIATE_TEST_SUITE_P(
    Spc, Builder,
    ::testing::Values(
        builder_case{"tur", [](auto b) { return test_unit_ready(1, b, 0); }, "00 00 00 00 00 00", 0, 0, 10},
        builder_case{"sense", [](auto b) { return request_sense(1, b, 0); }, "03 00 00 00 24 00", R, 36, 10},
        builder_case{"inquiry", [](auto b) { return inquiry(1, b, 0); }, "12 00 00 00 30 00", R, 48, 10},
        builder_case{"wb", [](auto b) { return write_buffer(1, b, 32768, 65536, 1, 0x25, 0x181, 0); },
                     "3b 05 81 01 00 00 00 80 00 80", 0, 32768, 4500},
        builder_case{"wb0", [](auto b) { return write_buffer(1, b, 0, 0, 0, 5, 0, 0); },
                     "3b 05 00 00 00 00 00 00 00 00", R, 0, 4500},
        builder_case{"senddiag", [](auto b) { return send_diagnostic(1, b, 0xF0, 10, 0); },
                     "1d 10 00 00 0a 00", 0, 10, 4500},
        builder_case{"logselect", [](auto b) { return log_select(1, b, 0x40, 100, 0, 0); },
                     "4c 00 40 00 00 00 00 00 64 00", 0, 100, 60},
        builder_case{"logselect-reset", [](auto b) { return log_select(1, b, 0x40, 100, 1, 0); },
                     "4c 02 40 00 00 00 00 00 00 00", 0, 0, 60},
        builder_case{"logsense", [](auto b) { return log_sense(1, b, 0x4D, 200, 0x102, 0); },
                     "4d 00 4d 00 00 01 02 00 c8 00", R, 200, 60},
        builder_case{"readbuffer", [](auto b) { return read_buffer(1, b, 64, 0x10203, 1, 2, 3, 0); },
                     "3c 02 03 01 02 03 00 00 40 80", R, 64, 4500}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Ssc, Builder,
    ::testing::Values(
        builder_case{"rbl", [](auto b) { return read_block_limits(1, b, 0); }, "05 00 00 00 00 00", R, 6, 10},
        builder_case{"unload", [](auto b) { return load_unload(1, b, 0x100, 0); }, "1b 00 00 00 00 00", 0, 0, 4500},
        builder_case{"load", [](auto b) { return load_unload(1, b, 1, 0); }, "1b 00 00 00 01 00", 0, 0, 4500},
        builder_case{"writevar", [](auto b) { return write_variable(1, b, 0x012345, 0); },
                     "0a 00 01 23 45 00", 0, 0x12345, 4500}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Sbc, Builder,
    ::testing::Values(
        builder_case{"eject", [](auto b) { return start_stop_unit(1, b, 2, 0); }, "1b 00 00 00 02 00", 0, 0, 60},
        builder_case{"format", [](auto b) { return format(1, b, 0x18, 0); }, "04 18 00 00 00 00", 0x100, 12, 18000},
        builder_case{"format-nodata", [](auto b) { return format(1, b, 0x08, 0); }, "04 08 00 00 00 00", 0x100, 0, 18000},
        builder_case{"cap0", [](auto b) { return read_capacity(1, b, 0, 0, 0); },
                     "25 00 00 00 00 00 00 00 00 00", R, 8, 10},
        builder_case{"cap", [](auto b) { return read_capacity(1, b, 0x1000, 1, 0); },
                     "25 01 00 00 10 00 00 00 01 00", R, 8, 10},
        builder_case{"read", [](auto b) { return read_data(1, b, 7, 16, 512, 0); },
                     "28 00 00 00 00 07 00 00 10 00", R, 8192, 60},
        builder_case{"defects", [](auto b) { return read_defects(1, b, 0x1D, 4, 0); },
                     "37 00 1d 00 00 00 00 00 04 00", R, 4, 60},
        builder_case{"readlong", [](auto b) { return read_long(1, b, 9, 520, 0); },
                     "3e 00 00 00 00 09 00 02 08 00", R, 520, 60},
        builder_case{"reassign", [](auto b) { return reassign(1, b, 0x0A0B0C0D, 300, 0); },
                     "07 00 00 00 00 00", 0, 8, 300},
        builder_case{"seek", [](auto b) { return seek(1, b, 0x01020304, 0); },
                     "2b 00 01 02 03 04 00 00 00 00", 0, 0, 60},
        builder_case{"write", [](auto b) { return write_data(1, b, 7, 2, 512, 0); },
                     "2a 00 00 00 00 07 00 00 02 00", 0, 1024, 60},
        builder_case{"writelong", [](auto b) { return write_long(1, b, 9, 520, 0); },
                     "3f 00 00 00 00 09 00 02 08 00", 0, 520, 60}),
    case_name);

class Serial : public ::testing::Test {
protected:
    void SetUp() override { fake_host::reset(); }

    // A device with standard data (vendor, bytes 36-47) and a serial page.
    void device(const std::string &vendor, const std::vector<uint8_t> &page, bool has_page = true)
    {
        std::vector<uint8_t> std_data(48, ' ');
        std_data[0] = 0x01;
        memcpy(std_data.data() + 8, vendor.data(), vendor.size());
        for (int i = 36; i < 48; ++i)
            std_data[i] = static_cast<uint8_t>('a' + i - 36);
        fake_host::handler = [=](const fake_host::command &c) {
            if (c.cdb[1] == 1) {
                if (!has_page)
                    return fake_host::check_condition(5, 0x24);
                fake_host::reply r;
                r.data_in = page;
                return r;
            }
            fake_host::reply r;
            r.data_in = std_data;
            return r;
        };
    }

    std::string serial_field() const { return std::string(block.inq_data + 36, block.inq_data + 48); }
    scsi_cmd_block block = {};
};

std::vector<uint8_t> page_of(const std::string &serial, int claimed = -1)
{
    std::vector<uint8_t> p(4 + serial.size());
    p[0] = 0x01;
    p[1] = 0x80;
    p[3] = static_cast<uint8_t>(claimed < 0 ? serial.size() : claimed);
    std::copy(serial.begin(), serial.end(), p.begin() + 4);
    return p;
}

TEST_F(Serial, Placement)
{
    const struct {
        std::string serial;
        std::string field;
    } cases[] = {
        {"AB12CD      ", std::string("AB12CD") + std::string(6, '\0')},
        {"ABCDEFGH12345678WXYZ", "12345678WXYZ"},
        {"            ", std::string(12, '\0')},
        {std::string("AB\0CD", 5), std::string("AB") + std::string(10, '\0')},
        {"X", std::string("X") + std::string(11, '\0')},
    };
    for (const auto &c : cases) {
        device("HP", page_of(c.serial));
        EXPECT_EQ(inquiry(3, &block, 0), 0);
        EXPECT_EQ(serial_field(), c.field) << c.serial;
        EXPECT_EQ(std::string(block.vendor_data, block.vendor_data + 20), std::string(20, '\0'));
    }
}

TEST_F(Serial, PageRequestsAndTheirLengths)
{
    device("HP", page_of(std::string(252, 'S')));
    inquiry(3, &block, 0);
    const auto &log = fake_host::log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(fake_host::hex(log[0].cdb), "12 01 80 00 04 00");
    EXPECT_EQ(log[0].buflen, 4u);
    EXPECT_EQ(fake_host::hex(log[1].cdb), "12 01 80 00 00 00"); // 256 modulo 256
    EXPECT_EQ(log[1].buflen, 256u);
    EXPECT_EQ(serial_field(), std::string(12, 'S'));
}

TEST_F(Serial, UnsupportedPageKeepsTheDeviceBytes)
{
    device("HP", {}, false);
    EXPECT_EQ(inquiry(3, &block, 0), 0);
    EXPECT_EQ(fake_host::log().size(), 2u); // no second page request
    EXPECT_EQ(serial_field(), "abcdefghijkl");
}

TEST_F(Serial, StkKeepsItsVendorBytes)
{
    device("STK     ", page_of("SN42"));
    inquiry(3, &block, 0);
    EXPECT_EQ(std::string(block.vendor_data, block.vendor_data + 12), "abcdefghijkl");
    EXPECT_EQ(serial_field(), std::string("SN42") + std::string(8, '\0'));
}

TEST_F(Serial, PageShorterThanItClaims)
{
    // The device claims 40 bytes but sends 9: the buffer is sized from the
    // claim, and the last 12 of the 40 are the zero fill.
    device("HP", page_of("SHORT", 40));
    EXPECT_EQ(inquiry(3, &block, 0), 0);
    EXPECT_EQ(fake_host::log()[1].buflen, 44u);
    EXPECT_EQ(serial_field(), std::string(12, '\0'));
}

TEST_F(Serial, ResultIsThatOfTheStandardInquiry)
{
    // Serial page fine, standard INQUIRY fails: its status is the result.
    device("HP", page_of("SN1"));
    auto answer = fake_host::handler;
    fake_host::handler = [&](const fake_host::command &c) {
        return c.cdb[1] == 0 ? fake_host::check_condition(4, 0x44) : answer(c);
    };
    EXPECT_EQ(inquiry(3, &block, 0), 2);

    // Header request fails: no page request, and the standard data stands.
    fake_host::reset();
    device("HP", page_of("SN1"));
    fake_host::push(fake_host::check_condition(5, 0x24));
    EXPECT_EQ(inquiry(3, &block, 0), 0);
    ASSERT_EQ(fake_host::log().size(), 2u);
    EXPECT_EQ(fake_host::hex(fake_host::log()[1].cdb), "12 00 00 00 30 00");
    EXPECT_EQ(fake_host::log()[1].buflen, 48u);
    EXPECT_EQ(serial_field(), "abcdefghijkl");

    // Page request fails after a good header: the device bytes stay too.
    fake_host::reset();
    device("HP", page_of("SN1"));
    fake_host::reply header;
    header.data_in = {0x01, 0x80, 0x00, 0x03};
    fake_host::push(header);
    fake_host::push(fake_host::check_condition(3, 0x11));
    EXPECT_EQ(inquiry(3, &block, 0), 0);
    EXPECT_EQ(fake_host::log().size(), 3u);
    EXPECT_EQ(serial_field(), "abcdefghijkl");
}

TEST_F(Serial, EmptyPageKeepsTheDeviceBytes)
{
    device("HP", page_of(""));
    EXPECT_EQ(inquiry(3, &block, 0), 0);
    EXPECT_EQ(serial_field(), "abcdefghijkl");
}

TEST(Diagnostic, SecondRequestAsksForTheWholePageButNoMoreThanTheBuffer)
{
    for (const auto &[page_len, size, asked] :
         {std::tuple{72u, size_t{76}, 76u}, {200u, size_t{76}, 76u}, {2u, size_t{76}, 6u}, {72u, size_t{4}, 4u}}) {
        fake_host::reset();
        std::vector<uint8_t> page(4 + page_len, 0xEE);
        page[0] = 0x88;
        page[1] = 0;
        page[2] = static_cast<uint8_t>(page_len >> 8);
        page[3] = static_cast<uint8_t>(page_len);
        fake_host::handler = [&](const fake_host::command &) {
            fake_host::reply r;
            r.data_in = page;
            return r;
        };
        // Exactly `size` bytes, so a write past it shows under AddressSanitizer.
        std::vector<unsigned char> buffer(size);
        scsi_cmd_block block = {};
        block.data_in = buffer.data();
        EXPECT_EQ(receive_diagnostic(2, &block, 0, 0, size, 0), 0);
        const auto &log = fake_host::log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].buflen, size < 6 ? size : 6u);
        EXPECT_EQ(log[1].buflen, asked);
        EXPECT_EQ(log[1].cdb[3] * 256 + log[1].cdb[4], static_cast<int>(asked));
    }
}

TEST(Diagnostic, FailedHeaderEndsIt)
{
    fake_host::reset();
    fake_host::push(fake_host::check_condition(5, 0x20));
    unsigned char buffer[76];
    scsi_cmd_block block = {};
    block.data_in = buffer;
    EXPECT_EQ(receive_diagnostic(2, &block, 0, 0, sizeof buffer, 0), 2);
    EXPECT_EQ(fake_host::log().size(), 1u);
}

TEST(Mode, SenseThenSelectSendsBackTheData)
{
    fake_host::reset();
    std::vector<uint8_t> data(36, 0x5A);
    data[0] = 35;
    data[12] = 0xA5;
    fake_host::handler = [&](const fake_host::command &) {
        fake_host::reply r;
        r.data_in = data;
        return r;
    };
    scsi_cmd_block block = {};
    EXPECT_EQ(mode_sense(2, &block, 0x3F, 0), 0);
    EXPECT_EQ(fake_host::log()[0].cdb[4], 12);
    EXPECT_EQ(fake_host::log()[1].cdb[4], 36);
    EXPECT_EQ(fake_host::hex(fake_host::log()[1].cdb), "1a 00 3f 00 24 00");
    EXPECT_EQ(mode_select(2, &block, 200, 0), 0);
    const auto &sel = fake_host::log()[2];
    EXPECT_EQ(fake_host::hex(sel.cdb), "15 11 00 00 24 00");
    ASSERT_EQ(sel.data_out.size(), 36u);
    EXPECT_EQ(sel.data_out[0], 0);
    EXPECT_EQ(sel.data_out[2], 0);
    EXPECT_EQ(sel.data_out[12], 0x25);

    data[0] = 250; // claims more than mode_data holds
    EXPECT_EQ(mode_sense(2, &block, 0x3F, 0), 0);
    EXPECT_EQ(fake_host::log()[4].buflen, 144u);
}

TEST(ResultMapping, FromTheSenseKey)
{
    const struct {
        std::function<int(scsi_cmd_block *)> call;
        int good, recovered, no_sense, other;
    } builders[] = {
        {[](auto b) { return read_data(1, b, 0, 1, 512, 0); }, 0, 1, -1, -1},
        {[](auto b) { return write_data(1, b, 0, 1, 512, 0); }, 0, 1, -1, -1},
        {[](auto b) { return write_variable(1, b, 512, 0); }, 0, 1, 2, -1},
        {[](auto b) { return seek(1, b, 0, 0); }, 0, -1, -1, -1},
    };
    for (const auto &b : builders) {
        unsigned char buf[512];
        scsi_cmd_block block = {};
        block.data_in = buf;
        block.data_out = buf;
        fake_host::reset();
        EXPECT_EQ(b.call(&block), b.good);
        fake_host::push(fake_host::check_condition(1, 0x17));
        EXPECT_EQ(b.call(&block), b.recovered);
        fake_host::push(fake_host::check_condition(0, 0x00));
        EXPECT_EQ(b.call(&block), b.no_sense);
        fake_host::push(fake_host::check_condition(3, 0x11));
        EXPECT_EQ(b.call(&block), b.other);
    }
}

} // namespace
