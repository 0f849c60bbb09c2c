// The emulator's own faults would hide brisk's: what sg3-utils and brisk
// cannot reach of the models and the scenario parser is checked here.
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

bytes write_buffer(uint8_t mode, uint8_t len)
{
    return {0x3B, mode, 0, 0, 0, 0, 0, 0, len, 0};
}

emu::device_config tape()
{
    emu::device_config c;
    c.name = "t";
    c.vendor = "IBM";
    c.product = "ULT3580-TD8";
    c.revision = "Q3D4";
    c.serial = "SN1";
    return c;
}

uint8_t asc(const emu::reply &r) { return r.sense.size() > 12 ? r.sense[12] : 0; }

TEST(Model, RefusalsTransportErrorsAndAllocationLength)
{
    emu::device_config c = tape();
    c.medium = true;
    c.serial.reset();
    emu::device d(c);
    EXPECT_EQ(asc(d.command(write_buffer(5, 2), bytes{1, 2}, 0, 0)), 0x2C); // loaded
    EXPECT_EQ(d.command(cdb6(0x1B), {}, 0, 0).status, 0);                    // unload
    EXPECT_EQ(d.command(write_buffer(5, 4), bytes{1, 2}, 0, 0).host_status, 0x07);
    EXPECT_EQ(asc(d.command(cdb6(0x12, 1, 0x80, 0, 255), {}, 255, 0)), 0x24);
    EXPECT_EQ(d.command(cdb6(0x12, 0, 0, 0, 36), {}, 96, 0).data_in.size(), 36u);
    EXPECT_EQ(asc(d.command(bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 8, 0)), 0x20);
}

TEST(Scenario, RefusedWithAClearMessage)
{
    const char *const dev = R"({"devices": [{"name": "a", "nodes": ["nst0"], )";
    const std::pair<std::string, const char *> rows[] = {
        {"{", "parse error"},
        {dev + std::string(R"("colour": 1}]})"), "unknown key \"colour\""},
        {R"({"devices": [{"name": "a", "nodes": ["tty0"]}]})", "not an st, ch"},
        {R"({"devices": [{"name": "a", "nodes": []}]})", "at least one node"},
        {R"({"devices": [{"name": "a", "nodes": ["nst0"]}, {"name": "b", "nodes": ["nst0"]}]})",
         "used twice"},
        {dev + std::string(R"("links": ["../etc/x"]}]})"), "without . or .."},
        {dev + std::string(R"("faults": [{"op": "inquiry", "sense": "5/260"}]}]})"), "K/ASC/ASCQ"},
        {dev + std::string(R"("faults": [{"op": "inquiry"}]}]})"), "exactly one of"},
        {dev + std::string(R"("class": "printer"}]})"), "unknown class"},
        {R"({"others": [{"path": "ttyS0", "dev": "4"}]})", "MAJ:MIN"}};
    for (const auto &[json, message] : rows) {
        try {
            emu::parse_scenario(json);
            ADD_FAILURE() << "accepted: " << json;
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

TEST(Scenario, NodesNumberedAsTheDriversNumberThem)
{
    struct row {
        const char *name;
        unsigned major, minor;
    } rows[] = {{"nst0", 9, 128}, {"nst0l", 9, 160}, {"st1", 9, 1}, {"nst33a", 9, 0x1E1},
                {"sch2", 86, 2}, {"sg17", 21, 17}, {"sr0", 11, 0}};
    for (const row &r : rows) {
        emu::node_number n;
        ASSERT_TRUE(emu::number_node(r.name, &n)) << r.name;
        EXPECT_EQ(n.major * 1000 + n.minor, r.major * 1000 + r.minor) << r.name;
    }
}

} // namespace
