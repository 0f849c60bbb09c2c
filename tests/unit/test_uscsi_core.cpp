// The pass-through core: trace, sense texts, dumps, names and results.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "uscsi_generic.h"
#include "uscsi_spc.h"

namespace {

class Core : public ::testing::Test {
protected:
    void SetUp() override { fake_host::reset(); }
    scsi_cmd_block block = {};
};

std::string tur_trace(int fd)
{
    return "\n    Issuing the following SCSI command: Test Unit Ready\n\tfd=" + std::to_string(fd) +
           " cdb=00 00 00 00 00 00 \n\tlen=0x6 bufaddr=0x0 \n\tbuflen=0x0 flags=0x10006\n";
}

const char not_ready_text[] =
    "Not ready error during Test Unit Ready\n"
    "Additional sense: 0x3a   ASC Qualifier: 0x00\n"
    "sense:  70 00 02 00 00 00 00 0A 00 00 00 00 3A 00 00 00 \n"
    "        00 00 \n";

TEST_F(Core, QuietFailureLeavesSenseForTheCaller)
{
    fake_host::push(fake_host::check_condition(2, 0x3A));
    testing::internal::CaptureStderr();
    EXPECT_EQ(test_unit_ready(5, &block, 0), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(block.sense[2] & 0x0F, 2);
    EXPECT_EQ(block.sense[12], 0x3A);
    EXPECT_EQ(fake_host::log().at(0).flags, 0x10007);
}

TEST_F(Core, TracedFailurePrintsTheCommandAndTheSenseText)
{
    fake_host::push(fake_host::check_condition(2, 0x3A));
    testing::internal::CaptureStderr();
    EXPECT_EQ(test_unit_ready(5, &block, 1), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), tur_trace(5) + not_ready_text);
    EXPECT_STREQ(p_error_msg, not_ready_text);
    EXPECT_EQ(fake_host::log().at(0).flags, 0x10006);
}

TEST_F(Core, IoctlFailureWithoutStatus)
{
    fake_host::reply r;
    r.result = -1;
    r.err = EBUSY;
    for (int verbose : {-1, 0}) {
        fake_host::push(r);
        testing::internal::CaptureStderr();
        EXPECT_EQ(test_unit_ready(3, &block, verbose), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  verbose < 0 ? "" : "Unexpected USCSICMD ioctl error: Device or resource busy\n");
    }
}

TEST_F(Core, StatusWinsOverAZeroIoctlResult)
{
    fake_host::reply r;
    r.result = 0;
    r.status = 8; // BUSY, no sense
    fake_host::push(r);
    EXPECT_EQ(test_unit_ready(3, &block, 1 - 1), 8);
}

TEST_F(Core, DataDumpLimitsByTraceLevel)
{
    std::vector<unsigned char> data(32768, 0x41);
    block.data_out = data.data();
    for (const auto &[verbose, lines] : {std::pair{1, 4}, {2, 64}, {3, 2048}}) {
        testing::internal::CaptureStderr();
        write_buffer(4, &block, 32768, 0, 0, 5, 0, verbose);
        const std::string out = testing::internal::GetCapturedStderr();
        size_t dump_lines = 0;
        for (size_t p = out.find("41 41 41"); p != std::string::npos; p = out.find("41 41 41", out.find('\n', p)))
            ++dump_lines;
        EXPECT_EQ(dump_lines, static_cast<size_t>(lines)) << verbose;
        EXPECT_NE(out.find("    Data out: 41 41 "), std::string::npos);
        EXPECT_NE(out.find("flags=0x10006\n"), std::string::npos);
    }
}

TEST_F(Core, DataInDumpAfterARead)
{
    fake_host::reply r;
    r.data_in = {0x00, 0x00, 0x00, 0x0A, 'S', 'N'};
    fake_host::handler = [&](const fake_host::command &) { return r; };
    testing::internal::CaptureStderr();
    inquiry(5, &block, 1);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("\tfd=5 cdb=12 01 80 00 04 00 \n"), std::string::npos);
    EXPECT_NE(out.find("\n\tbuflen=0x4 flags=0x1000E\n"
                       "    Data in:  00 00 00 0a                                         ....\n"),
              std::string::npos);
}

TEST(Dump, HexAsciiLayout)
{
    const unsigned char bytes[] = {0x41, 0x42, 0x00, 0x7F};
    testing::internal::CaptureStderr();
    p_dump("    Data in:  ", bytes, 4, HEX_ASCII);
    p_dump("    Data in:  ", bytes, 0, HEX_ASCII);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "    Data in:  41 42 00 7f " + std::string(36, ' ') + "    AB..\n");
}

TEST(Dump, LinesOfSixteenAndTheBound)
{
    unsigned char bytes[17];
    for (int i = 0; i < 17; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    char text[P_ERROR_MSG_SIZE] = "";
    string_dump("cdb:    ", bytes, 16, HEX_ONLY, text);
    EXPECT_STREQ(text, "cdb:    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n");
    text[0] = '\0';
    string_dump("cdb:    ", bytes, 17, HEX_ONLY, text);
    EXPECT_STREQ(text, "cdb:    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n        10 \n");
    char small[20] = "";
    string_dump("cdb:    ", bytes, 17, HEX_ONLY, small, sizeof small);
    EXPECT_EQ(strlen(small), sizeof small - 1);
}

TEST(Names, FirstEntryWinsAndUnknowns)
{
    const std::pair<int, const char *> cases[] = {
        {0x01, "Rewind"},     {0x44, "Read Header"},  {0xA5, "Move Medium"},
        {0xA7, "Set Read Ahead"}, {0x1B, "Load/Unload"}, {0x09, "Unknown"},
        {0xFF, "Unknown"},    {0x3B, "Write Buffer"}, {0x57, "Release"},
        {0x13, "Verify"},     {0x2E, "Write and Verify"}};
    for (const auto &[op, name] : cases)
        EXPECT_STREQ(scsi_find_command_name(op), name) << op;
}

struct sense_case {
    const char *what;
    unsigned char opcode;
    std::vector<uint8_t> sense;
    int count;
    std::string text;
};

class SenseText : public ::testing::TestWithParam<sense_case> {};

TEST_P(SenseText, Decodes)
{
    const sense_case &c = GetParam();
    unsigned char cdb[16] = {c.opcode};
    uscsi_request req = {};
    req.req_cdb = cdb;
    req.req_cdblen = 6;
    char text[P_ERROR_MSG_SIZE];
    scsi_printerr(&req, c.sense.data(), c.count, text);
    if (c.opcode == 0x12) { // ILLEGAL REQUEST: the request record is dumped first
        const std::string t = text;
        EXPECT_EQ(t.find("Illegal request during Inquiry\nAdditional sense: 0x24   ASC "
                         "Qualifier: 0x00\ncmd:    "),
                  0u);
        const size_t cmd_lines = (sizeof req + 15) / 16;
        const size_t cdb_at = t.find("cdb:    12 00 00 00 00 00 \nsense:  ");
        EXPECT_NE(cdb_at, std::string::npos);
        size_t lines = 0;
        for (size_t p = t.find("cmd:"); p < cdb_at; p = t.find('\n', p) + 1)
            ++lines;
        EXPECT_EQ(lines, cmd_lines);
    } else {
        EXPECT_EQ(std::string(text), c.text);
    }
}

std::vector<uint8_t> fixed(uint8_t key, uint8_t add_len, uint8_t asc, size_t n = 18)
{
    std::vector<uint8_t> s(n, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = add_len;
    if (n > 12)
        s[12] = asc;
    return s;
}

std::vector<uint8_t> valid_block()
{
    auto s = fixed(3, 10, 0x11);
    s[0] = 0xF0;
    s[3] = 0x00;
    s[4] = 0x01;
    s[5] = 0x00;
    s[6] = 0x10;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SenseText,
    ::testing::Values(
        sense_case{"not ready", 0x00, fixed(2, 10, 0x3A), 18, not_ready_text},
        sense_case{"valid", 0x08, valid_block(), 18,
                   "Medium error during Read: block 65552 (0x10010)\n"
                   "Additional sense: 0x11   ASC Qualifier: 0x00\n"
                   "sense:  F0 00 03 00 01 00 10 0A 00 00 00 00 11 00 00 00 \n        00 00 \n"},
        sense_case{"short additional length", 0x00, fixed(6, 5, 0x29), 18,
                   "Unit attention error during Test Unit Ready\n"
                   "sense:  70 00 06 00 00 00 00 05 00 00 00 00 29 \n"},
        sense_case{"received less than claimed", 0x00, fixed(4, 14, 0x44, 20), 20,
                   "Hardware error during Test Unit Ready\n"
                   "Additional sense: 0x44   ASC Qualifier: 0x00\n"
                   "sense:  70 00 04 00 00 00 00 0E 00 00 00 00 44 00 00 00 \n"
                   "        00 00 00 00 \n"},
        sense_case{"illegal request", 0x12, fixed(5, 10, 0x24), 18, ""}));

TEST_F(Core, ResetRequest)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(scsi_reset(7, &block, USCSI_RESET, 0), 0);
    testing::internal::GetCapturedStderr();
    const auto &c = fake_host::log().at(0);
    EXPECT_EQ(c.flags, USCSI_RESET | 0x10007);
    EXPECT_EQ(c.cdb, std::vector<uint8_t>(6, 0));
    EXPECT_FALSE(c.has_buffer);
    EXPECT_FALSE(c.has_sensebuf);
    EXPECT_EQ(c.timeout, 0);
    EXPECT_EQ(c.buflen, 0u);
}

TEST(SenseRecord, DecodesOnceAndReadsNothingPastCount)
{
    const auto s = valid_block();
    const sense_info i = decode_sense(s.data(), 18);
    EXPECT_TRUE(i.valid);
    EXPECT_EQ(i.key, 3);
    EXPECT_EQ(i.info, 65552);
    const sense_info shortened = decode_sense(s.data(), 3);
    EXPECT_EQ(shortened.key, 3);
    EXPECT_EQ(shortened.asc, 0);
    EXPECT_EQ(shortened.info, 0);
}

TEST_F(Core, IllegalRequestDumpsTheRequestAsHandedToTheHost)
{
    static_assert(sizeof(uscsi_request) == 56, "the request record of a 64-bit host");
    fake_host::push(fake_host::check_condition(5, 0x24));
    testing::internal::CaptureStderr();
    EXPECT_EQ(test_unit_ready(6, &block, 1), 2);
    const std::string out = testing::internal::GetCapturedStderr();

    const auto *raw = reinterpret_cast<const unsigned char *>(&block.request);
    std::string cmd = "cmd:    ";
    char hex[4];
    for (size_t i = 0; i < sizeof block.request; ++i) {
        if (i && i % 16 == 0)
            cmd += "\n        ";
        snprintf(hex, sizeof hex, "%02X ", raw[i]);
        cmd += hex;
    }
    cmd += "\n";
    const std::string expected = "Illegal request during Test Unit Ready\n"
                                 "Additional sense: 0x24   ASC Qualifier: 0x00\n" +
                                 cmd +
                                 "cdb:    00 00 00 00 00 00 \n"
                                 "sense:  70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 \n"
                                 "        00 00 \n";
    EXPECT_EQ(std::string(p_error_msg), expected);
    EXPECT_EQ(out, tur_trace(6) + expected);
}

TEST_F(Core, TraceShowsTheWholeBufferAddress)
{
    unsigned char data[20] = {};
    block.data_out = data;
    testing::internal::CaptureStderr();
    write_buffer(0x1f, &block, sizeof data, 0, 0, 5, 0, 1);
    const std::string out = testing::internal::GetCapturedStderr();
    char line[96];
    snprintf(line, sizeof line, "\n\tlen=0xA bufaddr=0x%lX \n\tbuflen=0x14 flags=0x10006\n",
             reinterpret_cast<unsigned long>(data));
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_NE(out.find("\tfd=1f cdb=3B 05 00 00 00 00 00 00 14 00 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("    Data out: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00     "
                       "................\n"
                       "              00 00 00 00 "),
              std::string::npos)
        << out;
}

TEST_F(Core, QuietLevelsTouchNeitherStreamNorMessage)
{
    strcpy(p_error_msg, "earlier");
    for (int verbose : {-1, 0}) {
        fake_host::push(fake_host::check_condition(3, 0x11));
        testing::internal::CaptureStderr();
        EXPECT_EQ(test_unit_ready(3, &block, verbose), 2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_STREQ(p_error_msg, "earlier");
    }
    // No sense bytes came back: nothing to decode even when tracing.
    fake_host::reply r;
    r.result = -1;
    r.err = EIO;
    r.status = 2;
    fake_host::push(r);
    testing::internal::CaptureStderr();
    EXPECT_EQ(test_unit_ready(3, &block, 1), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), tur_trace(3));
    EXPECT_STREQ(p_error_msg, "earlier");
}

} // namespace
