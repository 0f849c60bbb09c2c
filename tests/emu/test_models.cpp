// The emulator's own faults would hide brisk's: what sg3-utils cannot reach
// of the scenario parser (its refusals, the node numbers) is checked here.
#include <gtest/gtest.h>

#include <stdexcept>

#include "scenario.h"

namespace {

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
