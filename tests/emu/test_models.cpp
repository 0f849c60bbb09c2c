// The bench's own faults would hide brisk's: the device models and the
// scenario parser are checked here, without umockdev.
#include <gtest/gtest.h>

#include <stdexcept>

#include "model.h"
#include "scenario.h"

namespace {

using emu::bytes;

bytes cdb6(uint8_t op, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0, uint8_t b4 = 0)
{
    return {op, b1, b2, b3, b4, 0};
}

bytes write_buffer(uint8_t mode, uint32_t offset, uint32_t len, uint8_t id = 0)
{
    return {0x3B, mode, id, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
            uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len), 0};
}

emu::device_config tape()
{
    emu::device_config c;
    c.name = "t";
    c.vendor = "IBM";
    c.product = "ULT3580-TD8";
    c.revision = "Q3D4";
    c.new_revision = "Q3D5";
    c.serial = "SN1";
    c.medium = false;
    c.flash_seconds = 10;
    return c;
}

uint8_t key(const emu::reply &r) { return r.sense.size() > 2 ? r.sense[2] & 0x0F : 0; }
uint8_t asc(const emu::reply &r) { return r.sense.size() > 12 ? r.sense[12] : 0; }

TEST(Model, RequestSenseReturnsAndClearsTheAttention)
{
    emu::device_config c = tape();
    c.initial_attention = emu::sense_code{6, 0x29, 0};
    emu::device d(c);
    // INQUIRY neither reports nor clears it.
    EXPECT_EQ(d.command(cdb6(0x12, 0, 0, 0, 36), {}, 36, 0).status, 0);
    emu::reply rs = d.command(cdb6(0x03, 0, 0, 0, 18), {}, 18, 0);
    ASSERT_EQ(rs.data_in.size(), 18u);
    EXPECT_EQ(rs.data_in[2], 6);
    EXPECT_EQ(rs.data_in[7], 10);
    EXPECT_EQ(rs.data_in[12], 0x29);
    emu::reply tur = d.command(cdb6(0x00), {}, 0, 0);
    EXPECT_EQ(key(tur), 2); // now only the empty drive
    EXPECT_EQ(asc(tur), 0x3A);
}

TEST(Model, DownloadActivatesWhenTheHostMovesOn)
{
    emu::device d(tape());
    const bytes piece(100, 0xAB);
    EXPECT_EQ(d.command(write_buffer(4, 0, 100), piece, 0, 1.0).status, 0);
    EXPECT_EQ(d.command(write_buffer(4, 0, 100), piece, 0, 1.5).status, 0);
    EXPECT_EQ(d.activations(), 0);
    // The flash counts from the last piece: NOT READY until 11.5.
    emu::reply busy = d.command(cdb6(0x00), {}, 0, 11.4);
    EXPECT_EQ(d.activations(), 1);
    EXPECT_EQ(d.activated_image().size(), 200u);
    EXPECT_EQ(key(busy), 2);
    EXPECT_EQ(asc(busy), 0x04);
    emu::reply ua = d.command(cdb6(0x00), {}, 0, 11.6);
    EXPECT_EQ(key(ua), 6);
    EXPECT_EQ(asc(ua), 0x3F);
    emu::reply inq = d.command(cdb6(0x12, 0, 0, 0, 36), {}, 36, 12);
    EXPECT_EQ(std::string(inq.data_in.begin() + 32, inq.data_in.begin() + 36), "Q3D5");
}

TEST(Model, OffsetsPlaceAndModeFourAppends)
{
    emu::device d(tape());
    d.command(write_buffer(6, 4, 4), bytes{5, 6, 7, 8}, 0, 0);
    d.command(write_buffer(6, 0, 4), bytes{1, 2, 3, 4}, 0, 0);
    d.command(write_buffer(7, 8, 0), {}, 0, 0); // closing command
    EXPECT_EQ(d.activated_image(), (bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    emu::device a(tape());
    a.command(write_buffer(4, 0, 2), bytes{1, 2}, 0, 0);
    a.command(write_buffer(5, 0, 2), bytes{3, 4}, 0, 0);
    a.finish(0);
    EXPECT_EQ(a.activated_image(), (bytes{1, 2, 3, 4}));
}

TEST(Model, RefusedPieceAbortsTheDownload)
{
    emu::device_config c = tape();
    emu::fault_rule f;
    f.opcode = 0x3B;
    f.nth = 2;
    f.sense = emu::sense_code{5, 0x26, 0};
    c.faults.push_back(f);
    emu::device d(c);
    EXPECT_EQ(d.command(write_buffer(7, 0, 2), bytes{1, 2}, 0, 0).status, 0);
    emu::reply r = d.command(write_buffer(7, 2, 2), bytes{3, 4}, 0, 0);
    EXPECT_EQ(asc(r), 0x26);
    d.finish(1);
    EXPECT_EQ(d.activations(), 0);
}

TEST(Model, LoadedTapeTakesNoMicrocodeAndShortBuffersAreTransportErrors)
{
    emu::device_config c = tape();
    c.medium = true;
    emu::device d(c);
    EXPECT_EQ(asc(d.command(write_buffer(5, 0, 2), bytes{1, 2}, 0, 0)), 0x2C);
    EXPECT_EQ(d.command(cdb6(0x1B), {}, 0, 0).status, 0); // unload
    EXPECT_EQ(d.command(write_buffer(5, 0, 4), bytes{1, 2}, 0, 0).host_status, 0x07);
}

TEST(Model, SerialPageAndAllocationLength)
{
    emu::device_config c = tape();
    c.serial.reset();
    emu::device d(c);
    EXPECT_EQ(asc(d.command(cdb6(0x12, 1, 0x80, 0, 255), {}, 255, 0)), 0x24);
    emu::reply std36 = d.command(cdb6(0x12, 0, 0, 0, 36), {}, 96, 0);
    EXPECT_EQ(std36.data_in.size(), 36u); // the allocation length, not the buffer
    EXPECT_EQ(asc(d.command(cdb6(0x05, 0, 0, 0, 0), {}, 6, 0)), 0); // tape: block limits
    EXPECT_EQ(asc(d.command(bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 8, 0)), 0x20);
}

struct bad_scenario {
    const char *json;
    const char *message;
};

class BadScenario : public ::testing::TestWithParam<bad_scenario> {};

TEST_P(BadScenario, IsRefusedWithAClearMessage)
{
    try {
        emu::parse_scenario(GetParam().json);
        FAIL() << "accepted";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, BadScenario,
    ::testing::Values(
        bad_scenario{"{", "parse error"},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["nst0"], "colour": 1}]})",
                     "unknown key \"colour\""},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["tty0"]}]})", "not an st, ch"},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": []}]})", "at least one node"},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["nst0"]},
                                     {"name": "b", "nodes": ["nst0"]}]})", "used twice"},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["nst0"], "links": ["../etc/x"]}]})",
                     "without . or .."},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["nst0"],
                        "faults": [{"op": "inquiry", "sense": "5/260"}]}]})", "K/ASC/ASCQ"},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["nst0"],
                        "faults": [{"op": "inquiry"}]}]})", "exactly one of"},
        bad_scenario{R"({"devices": [{"name": "a", "nodes": ["nst0"], "class": "printer"}]})",
                     "unknown class"},
        bad_scenario{R"({"others": [{"path": "ttyS0", "dev": "4"}]})", "MAJ:MIN"}));

TEST(NodeNumbers, AsTheDriversNumberThem)
{
    struct row {
        const char *name;
        unsigned major, minor;
    } rows[] = {{"nst0", 9, 128}, {"nst0l", 9, 160}, {"st1", 9, 1}, {"nst33a", 9, 0x1E1},
                {"sch2", 86, 2}, {"sg17", 21, 17}, {"sr0", 11, 0}};
    for (const row &r : rows) {
        emu::node_number n;
        ASSERT_TRUE(emu::number_node(r.name, &n)) << r.name;
        EXPECT_EQ(n.major, r.major) << r.name;
        EXPECT_EQ(n.minor, r.minor) << r.name;
    }
}

} // namespace
