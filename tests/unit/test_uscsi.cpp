// The pass-through library where the tool does not reach it: builders of commands it never sends, the
// reset request, every trace level and sense text, the serial number in the INQUIRY copy.
#include <algorithm>
#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "uscsi_sbc.h"
#include "uscsi_spc.h"
#include "uscsi_ssc.h"

using namespace fake_host;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

unsigned char buf[0x20000]; // data in and out
const int32_t R = USCSI_READ, CORE = USCSI_RQENABLE | USCSI_ISOLATE | USCSI_DIAGNOSE;
#define CALL(builder, ...) [](scsi_cmd_block *b) { return builder(1, b, __VA_ARGS__, 1); }

struct Lib : testing::Test {
    scsi_cmd_block block = {};
    void SetUp() override
    {
        reset();
        block.data_in = block.data_out = buf;
        memcpy(buf, "\0\0\0\10", 4); // FORMAT UNIT parameter header: 8 bytes of defect list follow
        strcpy(p_error_msg, "earlier");
    }
};

TEST_F(Lib, Builders)
{
    // The name in the trace, every CDB sent, the last one's flags, length and timeout, the results
    // after sense keys 1, 0 and 3, the leading bytes sent, the mode data length the device states.
    const struct { std::string name; std::function<int(scsi_cmd_block *)> call; const char *cdbs;
                   int32_t flags; uint32_t buflen; int16_t timeout; std::array<int, 3> keys = {2, 2, 2};
                   bytes sent = {}; uint8_t claim = 35; } rows[] = {
        {"Log Select", CALL(log_select, 0x40, 100, 0), "4c 00 40 00 00 00 00 00 64 00", 0, 100, 60},
        {"Log Select", CALL(log_select, 0x40, 100, 1), "4c 02 40 00 00 00 00 00 00 00", 0, 0, 60},
        {"Log Sense", CALL(log_sense, 0x4D, 200, 0x102), "4d 00 4d 00 00 01 02 00 c8 00", R, 200, 60},
        {"Mode Sense", CALL(mode_sense, 0), "1a 00 00 00 0c 00 | 1a 00 00 00 90 00", R, 144, 60, {2, 2, 2}, {}, 250},
        {"Mode Select", [](scsi_cmd_block *b) { return mode_sense(1, b, 0x3F, 1) + mode_select(1, b, 200, 1); },
         "1a 00 3f 00 0c 00 | 1a 00 3f 00 24 00 | 15 11 00 00 24 00", 0, 36, 60, {2, 2, 2},
         {0, 0xA5, 0, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0x25}},
        {"Read Buffer", CALL(read_buffer, 64, 0x10203, 1, 2, 3), "3c 02 03 01 02 03 00 00 40 80", R, 64, 4500},
        {"Format", CALL(format, 0x18), "04 18 00 00 00 00", USCSI_NOTAG, 12, 18000, {2, 2, 2}, {0, 0, 0, 8}},
        {"Format", CALL(format, 0x08), "04 08 00 00 00 00", USCSI_NOTAG, 0, 18000},
        {"Read Capacity", CALL(read_capacity, 0x1000, 1), "25 01 00 00 10 00 00 00 01 00", R, 8, 10},
        {"Read Capacity", CALL(read_capacity, 0, 0), "25 00 00 00 00 00 00 00 00 00", R, 8, 10},
        {"Read (10 Byte)", CALL(read_data, 7, 16, 512), "28 00 00 00 00 07 00 00 10 00", R, 8192, 60, {1, -1, -1}},
        {"Read Defect List", CALL(read_defects, 0x1D, 4), "37 00 1d 00 00 00 00 00 04 00", R, 4, 60},
        {"Read Long", CALL(read_long, 9, 520), "3e 00 00 00 00 09 00 02 08 00", R, 520, 60},
        {"Reassign Block", CALL(reassign, 0x0A0B0C0D, 300), "07 00 00 00 00 00", 0, 8, 300, {2, 2, 2},
         {0, 0, 0, 4, 0x0A, 0x0B, 0x0C, 0x0D}},
        {"Seek (10 Byte)", CALL(seek, 0x01020304), "2b 00 01 02 03 04 00 00 00 00", 0, 0, 60, {-1, -1, -1}},
        {"Write (10 Byte)", CALL(write_data, 7, 2, 512), "2a 00 00 00 00 07 00 00 02 00", 0, 1024, 60, {1, -1, -1}},
        {"Write Long", CALL(write_long, 9, 520), "3f 00 00 00 00 09 00 02 08 00", 0, 520, 60},
        {"Write", CALL(write_variable, 0x012345), "0a 00 01 23 45 00", 0, 0x12345, 4500, {1, 2, -1}},
        {"Load/Unload", CALL(load_unload, 1), "1b 00 00 00 01 00", 0, 0, 4500},
        {"Test Unit Ready", CALL(scsi_reset, USCSI_RESET_ALL), "00 00 00 00 00 00", USCSI_RESET_ALL, 0, 0},
    };
    for (const auto &r : rows) {
        SetUp();
        bytes answer(36, 0xA5);
        answer[0] = r.claim;
        handler = [&](const command &) { return reply{0, 0, 0, answer}; };
        CaptureStderr();
        EXPECT_EQ(r.call(&block), 0) << r.cdbs;
        std::string got;
        char x[8];
        for (const command &c : requests)
            for (size_t i = 0; i < c.cdb.size(); ++i)
                got.append(x, snprintf(x, sizeof x, "%s%02x", i ? " " : got.empty() ? "" : " | ", c.cdb[i]));
        EXPECT_EQ(got, r.cdbs);
        const command c = requests.back();
        EXPECT_EQ(std::tuple(c.flags, c.buflen, c.timeout), std::tuple(r.flags | CORE, r.buflen, r.timeout)) << r.cdbs;
        EXPECT_EQ(bytes(c.data_out.begin(), c.data_out.begin() + r.sent.size()), r.sent) << r.cdbs;
        for (int i = 0; i < 3; ++i) {
            push(check_condition(static_cast<uint8_t>("\1\0\3"[i]), 0x11));
            EXPECT_EQ(r.call(&block), r.keys[i]) << r.cdbs << " key " << "103"[i];
        }
        EXPECT_NE(GetCapturedStderr().find("command: " + r.name + "\n"), std::string::npos) << r.name;
    }
}

// A short answer leaves zeros, never what an earlier command left, and nothing past the answer's room is written.
TEST_F(Lib, ShortAnswers)
{
    memset(block.sense, 0xFF, SENSE_LEN);
    memset(block.sense_ext, 0xFF, SENSE_EXT_LEN);
    push(reply{0, 0, 0, {0x70, 0}});
    EXPECT_EQ(request_sense(1, &block, 0), 0);
    EXPECT_EQ(bytes(block.sense + 1, block.sense + SENSE_LEN), bytes(SENSE_LEN - 1, 0));
    EXPECT_EQ(bytes(block.sense_ext, block.sense_ext + SENSE_EXT_LEN), bytes(SENSE_EXT_LEN, 0));
    memset(buf, 0xFF, 9);
    push(reply{0, 0, 0, {1, 2}});
    EXPECT_EQ(read_capacity(1, &block, 0, 0, 0), 0);
    EXPECT_EQ(bytes(buf, buf + 9), (bytes{1, 2, 0, 0, 0, 0, 0, 0, 0xFF}));
}

// A failing TEST UNIT READY at each trace level: what follows the command's trace on standard error
// ("cmd": the dump of the request record), and whether it is also the error message.
TEST_F(Lib, TraceAndSenseTexts)
{
    const std::string trace = "\n    Issuing the following SCSI command: Test Unit Ready\n\tfd=1f cdb=00 00 00 00 00 00 "
                              "\n\tlen=0x6 bufaddr=0x0 \n\tbuflen=0x0 flags=0x10006\n";
    const std::string not_ready = "Not ready error during Test Unit Ready\nAdditional sense: 0x3a   ASC Qualifier: "
                                  "0x00\nsense:  70 00 02 00 00 00 00 0A 00 00 00 00 3A 00 00 00 \n        00 00 \n";
    const reply no_medium = check_condition(2, 0x3A), host_busy{-1, EBUSY};
    auto sensed = [](bytes sense) { return reply{-1, EIO, 2, {}, sense}; };
    const struct { int verbose; reply answer; int result; std::string text; bool message; } rows[] = {
        {0, no_medium, 2, "", false},
        {1, no_medium, 2, not_ready, true},
        {-1, host_busy, -1, "", false},
        {0, host_busy, -1, "Unexpected USCSICMD ioctl error: Device or resource busy\n", false},
        {1, sensed({}), 2, "", false},
        {0, reply{0, 0, 8}, 8, "", false},
        // The dump ends where the additional length says, whatever else the host wrote.
        {1, sensed({0xF0, 0, 3, 0, 1, 0, 0x10, 10, 0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0xEE, 0xEE}), 2,
         "Medium error during Test Unit Ready: block 65552 (0x10010)\nAdditional sense: 0x11   ASC Qualifier: "
         "0x00\nsense:  F0 00 03 00 01 00 10 0A 00 00 00 00 11 00 00 00 \n        00 00 \n", true},
        {1, sensed({0x70, 0, 3}), 2, "Medium error during Test Unit Ready\nsense:  70 00 03 \n", true},
        {1, sensed({0x72, 3, 0x11, 0, 0, 0, 0, 0}), 2, "Medium error during Test Unit Ready\nAdditional sense: "
         "0x11   ASC Qualifier: 0x00\nsense:  72 03 11 00 00 00 00 00 \n", true},
        {1, check_condition(5, 0x24), 2,
         "Illegal request during Test Unit Ready\nAdditional sense: 0x24   ASC Qualifier: 0x00\ncmd"
         "cdb:    00 00 00 00 00 00 \nsense:  70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 \n        00 00 \n", true},
    };
    for (const auto &r : rows) {
        SetUp();
        push(r.answer);
        CaptureStderr();
        EXPECT_EQ(test_unit_ready(0x1f, &block, r.verbose), r.result);
        char cmd[P_ERROR_MSG_SIZE] = "";
        string_dump("cmd:    ", reinterpret_cast<unsigned char *>(&block.request), sizeof block.request, HEX_ONLY, cmd);
        std::string text = r.text;
        if (const size_t at = text.find("cmd"); at != std::string::npos)
            text.replace(at, 3, cmd);
        EXPECT_EQ(GetCapturedStderr(), (r.verbose > 0 ? trace : "") + text) << r.verbose;
        EXPECT_EQ(p_error_msg, r.message ? text : "earlier") << r.verbose;
        EXPECT_EQ(requests[0].flags, r.verbose > 0 ? CORE : CORE | USCSI_SILENT);
    }
}

// How much of the data each trace level dumps, either way; the layout; the bound of a dump into text.
TEST_F(Lib, Dumps)
{
    bytes data(70000, 0x5A);
    block.data_in = block.data_out = data.data();
    handler = [&](const command &) { return reply{0, 0, 0, data}; };
    for (const auto &[verbose, shown] : {std::pair{0, 0}, {1, 64}, {2, 1024}, {3, 65536}, {7, 65536}}) {
        for (auto *call : {&write_buffer, &read_buffer}) {
            CaptureStderr();
            call(4, &block, 70000, 0, 0, 2, 0, verbose);
            const std::string err = GetCapturedStderr();
            EXPECT_EQ(std::count(err.begin(), err.end(), 'Z'), shown) << verbose; // the ASCII column
        }
    }
    push(reply{0, 0, 0, {' ', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x7F}});
    CaptureStderr();
    read_buffer(4, &block, 17, 0, 0, 2, 0, 1);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.substr(err.find("    Data in:")), "    Data in:  20 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50"
                                                   "      BCDEFGHIJKLMNOP\n              7f " + std::string(49, ' ') + ".\n");
    char small[20] = "ab";
    string_dump("cdb:    ", data.data(), 17, HEX_ONLY, small, sizeof small);
    EXPECT_STREQ(small, "abcdb:    20 42 43 ");
    push(reply{0, 0, 0, bytes(16, 'Q')}); // a whole line and no more
    CaptureStderr();
    read_buffer(4, &block, 16, 0, 0, 2, 0, 1);
    EXPECT_TRUE(GetCapturedStderr().ends_with("    " + std::string(16, 'Q') + "\n"));
}

// Where the serial number page lands in the INQUIRY copy (bytes 36-47), and when the device's own
// bytes there stay. claim: the page length the device states (-1: the serial's); fails: the page
// request that fails, still sending the page.
TEST_F(Lib, SerialPlacement)
{
    const std::string own = "abcdefghijkl", z(12, '\0');
    const struct { const char *vendor; std::string serial; int claim, fails; std::string field; } rows[] = {
        {"HP", "AB12CD      ", -1, 0, "AB12CD" + z.substr(6)}, {"HP", "ABCDEFGH12345678WXYZ", -1, 0, "12345678WXYZ"},
        {"HP", std::string("AB\0CD", 5), -1, 0, "AB" + z.substr(2)}, {"HP", "X", -1, 0, "X" + z.substr(1)},
        {"HP", std::string(252, 'S'), -1, 0, std::string(12, 'S')}, {"HP", "SHORT", 40, 0, "SHORT" + z.substr(5)},
        {"HP", "", -1, 0, own},                                       {"HP", "SN1", -1, 1, own},
        {"HP", "SN1", -1, 2, own},                                    {"STK", "SN42", -1, 0, "SN42" + z.substr(4)},
    };
    for (const auto &r : rows) {
        SetUp();
        const std::string page = std::string{0, '\x80', 0, char(r.claim < 0 ? r.serial.size() : r.claim)} + r.serial;
        const std::string standard = std::string(8, ' ') + (r.vendor + std::string(28, ' ')).substr(0, 28) + own;
        int pages = 0;
        handler = [&](const command &c) {
            const std::string &answer = c.cdb[1] ? page : standard;
            const bool fails = c.cdb[1] && ++pages == r.fails;
            return reply{fails ? -1 : 0, 0, fails ? 2 : 0, bytes(answer.begin(), answer.end())};
        };
        EXPECT_EQ(inquiry(3, &block, 0), 0);
        EXPECT_EQ(std::string(block.inq_data + 36, block.inq_data + 48), r.field) << r.serial;
        EXPECT_EQ(std::string(block.vendor_data, block.vendor_data + 20), (r.vendor[0] == 'S' ? own : z) + z.substr(4));
    }
}

} // namespace
