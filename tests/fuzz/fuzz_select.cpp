// build_select_list on any line against inventories of 0 to 40 records in
// any states.
//
// Input: n (0-40), n state bytes (signed: 0-6 are the device states, the
// rest are states no record should have), a count byte (0: the table's own
// count, else the count minus 2), the default as 16 signed bits, then the
// text on standard input: the selection line and any answers to pauses.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "brisk.h"
#include "fuzz_input.h"

namespace {

bool selectable(int32_t state)
{
    return state == DEV_UNKNOWN || state == DEV_AVAILABLE || state == DEV_UPDATE_FAILED;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return fuzz::quiet_standard_streams();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in{data, size};
    const int n = in.byte() % 41;
    // Each record its own allocation, so a step past the list is caught.
    std::vector<std::unique_ptr<device_entry>> records;
    std::vector<int32_t> before;
    for (int i = 0; i < n; ++i) {
        auto e = std::make_unique<device_entry>();
        e->state = static_cast<int8_t>(in.byte());
        before.push_back(e->state);
        if (!records.empty())
            records.back()->next = e.get();
        records.push_back(std::move(e));
    }
    device_entry *head = records.empty() ? nullptr : records.front().get();
    const uint8_t count_byte = in.byte();
    const int count = count_byte == 0 ? (n > 0 ? n : -1) : count_byte - 2;
    int default_selection = static_cast<int16_t>(in.u16());
    std::string text = in.rest();

    FILE *stream = text.empty() ? fopen("/dev/null", "r")
                                : fmemopen(text.data(), text.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    FILE *saved = stdin;
    stdin = stream;
    const int result = build_select_list(head, count, &default_selection);
    stdin = saved;
    fclose(stream);

    int newly_selected = 0;
    for (int i = 0; i < n; ++i) {
        const int32_t now = records[static_cast<size_t>(i)]->state;
        if (now == before[static_cast<size_t>(i)])
            continue;
        // Only a selectable record moves, and only to selected.
        FUZZ_CHECK(selectable(before[static_cast<size_t>(i)]) && now == DEV_SELECTED);
        ++newly_selected;
    }
    FUZZ_CHECK(result <= n);
    if (result > 0)
        FUZZ_CHECK(result == newly_selected);
    else
        FUZZ_CHECK(newly_selected == 0);
    // A line holds at most 256 numbers, each naming at most n records.
    FUZZ_CHECK(result >= -256 * n);
    return 0;
}
