// What sg3-utils and brisk cannot reach of the emulator: its refusals of a
// bad scenario. (Its node numbers are proven by brisk's listing.)
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
        {R"({"devices": [{"name": "a", "nodes": ["nst0"]}, {"name": "b", "nodes": ["nst0"]}]})",
         "used twice"},
        {dev + std::string(R"("links": ["../etc/x"]}]})"), "without . or .."},
        {dev + std::string(R"("faults": [{"op": "inquiry", "sense": "5/260"}]}]})"), "K/ASC/ASCQ"},
        {dev + std::string(R"("class": "printer"}]})"), "unknown class"},
        {dev + std::string(R"("sense_format": "long"}]})"), "\"fixed\" or \"descriptor\""},
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

} // namespace
