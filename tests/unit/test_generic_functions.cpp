// The general library: paths, names on standard input, intervals, numbers.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "generic_functions.h"

namespace {

using names = std::vector<std::string>;

names drain(device_path_node *list) // the paths, freeing the list
{
    names out;
    for (; list; list = rem_device(list, list))
        out.push_back(list->path);
    return out;
}

// The list appends new paths; the scan takes candidates by name, enters no flat directory, candidate or
// link, and leaves out links through an IDE controller, targets that may be cut, paths over 1023 bytes.
TEST(Paths, ListAndScan)
{
    device_path_node *list = nullptr, stranger;
    for (const char *p : {"a", "b", "a", "c", "b", "d"})
        list = add_device(list, p);
    device_path_node *middle = list->next, *tail = middle->next->next;
    for (device_path_node *node : {middle, tail, &stranger, static_cast<device_path_node *>(nullptr)})
        EXPECT_EQ(rem_device(list, node), list);
    EXPECT_EQ(drain(list), (names{"a", "c"}));

    char made[] = "/tmp/gscan_XXXXXX"; // no flat directory's name in it
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string root = made;
    std::string dir = root + "/long";
    while (dir.size() < 700)
        dir += "/" + std::string(200, 'd');
    const std::string fits = dir.substr(root.size() + 1) + "/" + std::string(1020 - dir.size(), 'a') + "ln",
                      too_long = fits + "b";
    for (const std::string f : {"a/0ln", "a/.0ln", "a/0l", "a/sub/in/1ln", "a/2ln/3ln", "rmt/4ln", "rmt/sub/5ln",
                                "dev/6ln", fits.c_str(), too_long.c_str()}) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + f).parent_path());
        close(open((root + "/" + f).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    for (const auto &[target, link] : {std::pair<std::string, std::string>{"..", "a/up"}, {"/none", "dev/dead_ln"},
                                       {"../devices/pci@1f,0/ide@d/sd@0,0:a", "dev/ide_ln"},
                                       {std::string(1023, 'x'), "dev/fits_ln"}, {std::string(1024, 'x'), "dev/cut_ln"}})
        ASSERT_EQ(symlink(target.c_str(), (root + "/" + link).c_str()), 0);
    std::set<std::string> got;
    for (const std::string &path : drain(scan_dir(root.c_str(), nullptr, "ln")))
        got.insert(path.substr(root.size() + 1));
    EXPECT_EQ(got, (std::set<std::string>{"a/0ln", "a/2ln", "a/sub/in/1ln", "rmt/4ln", "dev/6ln", "dev/dead_ln",
                                          "dev/fits_ln", fits}));
    EXPECT_EQ(scan_dir(std::string(2000, '/').c_str(), nullptr, "ln"), nullptr);
    std::filesystem::remove_all(root);
}

// Names end at spaces and newlines; over-long ones are dropped whole; a terminal is not read at all.
TEST(Stdin, Names)
{
    const int saved = dup(0), master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    for (const auto &[input, expected] : std::initializer_list<std::pair<std::string, names>>{
             {"a b\nc", {"a", "b"}}, {"a\n\nb\n", {"a", "", "b"}}, {"tab\there\nx\nx\n", {"tab\there", "x"}},
             {std::string(1024, 'n') + "\n", {std::string(1024, 'n')}}, {std::string(1025, 'n') + "\nok\n", {"ok"}},
             {"terminal\n", {}}}) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(write(expected.empty() ? master : p[1], input.data(), input.size()), ssize_t(input.size()));
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        dup2(expected.empty() ? terminal : p[0], 0);
        for (int fd : {p[0], p[1], terminal})
            close(fd);
        clearerr(stdin);
        EXPECT_EQ(drain(get_stdin_devices(nullptr)), expected);
    }
    dup2(saved, 0);
    for (int fd : {saved, master})
        close(fd);
}

// Stamps of now; intervals, also between texts that no clock wrote; numbers in words and with commas.
TEST(TimeAndNumbers, IntervalsWordsAndCommas)
{
    const char *t = "07/04/2025 12:34:56";
    const int D = TD_DAYS, H = TD_HOURS, M = TD_MINUTES, S = TD_SECONDS;
    const struct { const char *start, *end; int unit; double expected; } rows[] = {
        {"01/15/2025 12:00:00", "12/15/2025 12:00:00", D, 334}, {"12/31/2024 23:59:50", "01/01/2025 00:00:20", S, 30},
        {"02/28/2024 12:00:00", "03/01/2024 12:00:00", D, 2},  {"02/28/2100 12:00:00", "03/01/2100 12:00:00", D, 1},
        {"02/28/2000 12:00:00", "03/01/2000 12:00:00", D, 2},  {"03/01/2023 00:00:00", "03/01/2024 00:00:00", D, 365},
        {"01/01/1999 00:00:00", "01/01/2402 00:00:00", D, 146097 + 365 + 366 + 365},
        {"06/15/2025 10:00:00", "06/15/2025 10:01:30", M, 2},  {"06/15/2025 10:00:00", "06/15/2025 11:29:30", H, 2},
        {"06/15/2025 00:00:00", "06/15/2025 11:59:30", D, 1},  {"06/15/2025 23:00:00", "06/16/2025 01:00:00", H, 2},
        {"07/04/2025 12:35:26", t, S, -30}, {"01/01/999999 00:00:00", "01/01/999999 00:00:01", S, 1},
        {"01/01/2024 00:6000000:01", "01/01/2024 00:00:00", S, -360000001},
        {"07-04-2025 12:34:56", t, S, -1}, {t, "07/04/2025 123456", S, -1}, {t, t, S + 1, -1},
        {"13/01/2025 00:00:00", t, S, -1}, {t, "00/01/2025 00:00:00", S, -1},
        {"01/01/1000000 00:00:00", t, D, -1}, {t, "01/01/1000000 00:00:00", D, -1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(time_delta(r.start, r.end, r.unit), r.expected) << r.start << "-> " << r.end;
    double d = 1, h = -1, m = -6000000, s = 75; // parts too large stay
    adjust_time(&d, &h, &m, &s);
    EXPECT_EQ(std::vector<double>({d, h, m, s}), std::vector<double>({-4166, 7, 0, 75}));

    for (const auto &[seconds, text] : {std::pair{0.4, "0 seconds"}, {1.0, "1 second"}, {172801.0, "2 days, 1 second"},
                                        {60.0, "1 minute, 0 seconds"}, {3725.0, "1 hour, 2 minutes, 5 seconds"},
                                        {7322.0, "2 hours, 2 minutes, 2 seconds"},
                                        {90061.0, "1 day, 1 hour, 1 minute, 1 second"}})
        EXPECT_EQ(sprintf_time(seconds), text);
    char stamp[TIMESTAMP_LEN], now[TIMESTAMP_LEN];
    for (time_t before = 0; before != time(nullptr);) { // until the stamp falls in the second read before it
        before = time(nullptr);
        timestamp(TS_DATE | TS_TIME, stamp);
        strftime(now, sizeof now, "%m/%d/%Y %H:%M:%S ", localtime(&before));
    }
    EXPECT_STREQ(stamp, now);
    for (const auto &[parts, shape] : {std::pair{TS_DATE, R"(\d\d/\d\d/\d{4} )"}, {TS_TIME, R"(\d\d:\d\d:\d\d )"}})
        EXPECT_TRUE(std::regex_match(timestamp(parts, stamp), std::regex(shape))) << stamp;
    for (const auto &[value, printed] : {std::pair{1234567.0, "1,234,567"}, {999.0, "999"}, {1000.7, "1,001"},
                                         {-1234.0, "-1,234"}, {1e21, "1,000,000,000,000,000,000,000"},
                                         {INFINITY, "inf"}, {-INFINITY, "-inf"}, {NAN, "nan"}}) {
        testing::internal::CaptureStdout();
        const int digits = print_with_commas(value);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
        EXPECT_EQ(digits + std::count(printed, printed + strlen(printed), ','), int(strlen(printed)));
    }
}

} // namespace
