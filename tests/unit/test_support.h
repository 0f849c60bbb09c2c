// Shared helpers of the unit tests: scripted standard input, captured
// output, hand-made inventory records.
#pragma once

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brisk.h"

namespace test_support {

// Standard input reads exactly `text`, then end of input.
inline void feed_stdin(const std::string &text)
{
    // A file, not a pipe: the script may be larger than a pipe holds.
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
    fflush(f);
    rewind(f);
    dup2(fileno(f), 0);
    fclose(f);
    lseek(0, 0, SEEK_SET);
    __fpurge(stdin);
    clearerr(stdin);
}

// Owns a list of records built by hand, in list order.
struct inventory {
    std::vector<std::unique_ptr<device_entry>> records;

    device_entry *add(const char *path, const char *vendor, const char *product,
                      const char *revision, const char *serial = "",
                      unsigned char byte0 = 0x01, int32_t state = DEV_AVAILABLE)
    {
        auto e = std::make_unique<device_entry>();
        snprintf(e->path, sizeof e->path, "%s", path);
        e->inquiry_owner = std::make_unique<unsigned char[]>(INQ_LEN);
        e->inquiry_data = e->inquiry_owner.get();
        unsigned char *inq = e->inquiry_data;
        memset(inq, 0, INQ_LEN);
        inq[0] = byte0;
        memset(inq + 8, ' ', 28);
        memcpy(inq + 8, vendor, strnlen(vendor, 8));
        memcpy(inq + 16, product, strnlen(product, 16));
        memcpy(inq + 32, revision, strnlen(revision, 4));
        memcpy(inq + 36, serial, strnlen(serial, 12));
        e->state = state;
        if (!records.empty())
            records.back()->next = e.get();
        records.push_back(std::move(e));
        return records.back().get();
    }

    device_entry *head() const { return records.empty() ? nullptr : records.front().get(); }
    device_entry *at(size_t i) const { return records.at(i).get(); }
};

// What a piece of the tool printed on its two streams.
struct output {
    std::string out;
    std::string err;
};

inline output captured(const std::function<void()> &f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    output o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

} // namespace test_support
