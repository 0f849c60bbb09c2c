// General library: the candidate path list and the device scan, reading
// paths from standard input, time stamps and intervals, delays, numbers.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "generic_functions.h"

namespace {

std::vector<std::string> paths_of(const device_path_node *list)
{
    std::vector<std::string> out;
    for (; list; list = list->next)
        out.push_back(list->path);
    return out;
}

void free_list(device_path_node *list)
{
    while (list)
        list = rem_device(list, list);
}

// ---- add_device / rem_device --------------------------------------------

TEST(PathList, AppendKeepsOrderAndDropsDuplicates)
{
    device_path_node *list = add_device(nullptr, "/dev/a");
    device_path_node *head = list;
    EXPECT_EQ(head->identity, nullptr);
    for (const char *p : {"/dev/b", "/dev/a", "/dev/c", "/dev/b", ""})
        EXPECT_EQ(list = add_device(list, p), head);
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"/dev/a", "/dev/b", "/dev/c", ""}));
    free_list(list);
}

TEST(PathList, Remove)
{
    auto three = [] {
        device_path_node *l = add_device(nullptr, "a");
        l = add_device(l, "b");
        return add_device(l, "c");
    };

    device_path_node *list = three();
    device_path_node *second = list->next;
    EXPECT_EQ(list = rem_device(list, list), second);
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"b", "c"}));
    free_list(list);

    list = three();
    device_path_node *head = list;
    EXPECT_EQ(rem_device(list, list->next), head);
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(rem_device(list, list->next), head); // the tail
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"a"}));
    EXPECT_EQ(rem_device(list, list), nullptr);

    list = three();
    device_path_node stranger;
    stranger.path = "b";
    EXPECT_EQ(rem_device(list, &stranger), list);
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(rem_device(list, nullptr), list);
    EXPECT_EQ(rem_device(nullptr, &stranger), nullptr);
    free_list(list);
}

// ---- scan_dir -----------------------------------------------------------

class Scan : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The prefix keeps "/dsk", "/fd", "/rmt" and "/scsi" out of the root.
        char name[] = "/tmp/gscan_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
    }
    void TearDown() override
    {
        free_list(list);
        remove_tree(root);
    }

    static void remove_tree(const std::string &dir)
    {
        if (DIR *d = opendir(dir.c_str())) {
            while (const dirent *e = readdir(d)) {
                const std::string n = e->d_name;
                if (n == "." || n == "..")
                    continue;
                const std::string p = dir + "/" + n;
                struct stat st;
                if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove_tree(p);
                else
                    unlink(p.c_str());
            }
            closedir(d);
        }
        rmdir(dir.c_str());
    }

    std::string dir(const std::string &rel)
    {
        const std::string p = root + "/" + rel;
        EXPECT_EQ(mkdir(p.c_str(), 0755), 0) << p;
        return p;
    }
    void file(const std::string &path)
    {
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        EXPECT_GE(fd, 0) << path;
        close(fd);
    }
    void link(const std::string &target, const std::string &path)
    {
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    }

    // The names of a directory in the order its listing yields them.
    static std::vector<std::string> listing(const std::string &d)
    {
        std::vector<std::string> names;
        if (DIR *dd = opendir(d.c_str())) {
            while (const dirent *e = readdir(dd))
                names.push_back(e->d_name);
            closedir(dd);
        }
        return names;
    }

    std::string root;
    device_path_node *list = nullptr;
};

TEST_F(Scan, FilterIsASubstringAndDotNamesAreSkipped)
{
    const std::string rmt = dir("rmt");
    for (const char *n : {"0", "0b", "0bn", "0l", "0lb", "0lbn", "0ln", "0m", "0n", "1ln", ".0ln"})
        file(rmt + "/" + n);
    list = scan_dir(rmt.c_str(), nullptr, "ln");
    std::vector<std::string> expected;
    for (const auto &n : listing(rmt)) {
        if (n == "0ln" || n == "1ln")
            expected.push_back(rmt + "/" + n);
    }
    EXPECT_EQ(paths_of(list), expected);
    ASSERT_EQ(expected.size(), 2u);
}

TEST_F(Scan, LinksThroughAnIdeControllerAreLeftOut)
{
    const std::string d = dir("dev");
    link("../devices/pci@1f,0/ide@d/sd@0,0:a", d + "/c0t0d0s0");
    link("../devices/pci@1f,0/scsi@3/sd@1,0:a", d + "/c1t0d0s0");
    link("/nonexistent/target", d + "/c2t0d0s0");  // dangling: taken
    link("ide@1", d + "/c3t0d0s0");               // no "/ide@": taken
    file(d + "/c4t0d0s0");                         // a plain node: taken
    list = scan_dir(d.c_str(), nullptr, "s0");
    std::vector<std::string> got = paths_of(list);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{d + "/c1t0d0s0", d + "/c2t0d0s0", d + "/c3t0d0s0",
                                             d + "/c4t0d0s0"}));
}

TEST_F(Scan, LinkTargetThatFillsItsBufferIsSkipped)
{
    const std::string d = dir("dev");
    link(std::string(1023, 'x'), d + "/fits_ln");
    link(std::string(1024, 'x'), d + "/full_ln");
    list = scan_dir(d.c_str(), nullptr, "ln");
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{d + "/fits_ln"}));
}

TEST_F(Scan, DescentStopsBelowFlatDirectories)
{
    for (const char *flat : {"rmt", "dsk", "fd", "scsi"}) {
        const std::string d = dir(flat);
        dir(std::string(flat) + "/sub");
        file(d + "/top0");
        file(d + "/sub/deep0");
        device_path_node *l = scan_dir(d.c_str(), nullptr, "0");
        EXPECT_EQ(paths_of(l), (std::vector<std::string>{d + "/top0"})) << flat;
        free_list(l);
    }
}

TEST_F(Scan, DepthFirstBelowOtherDirectories)
{
    const std::string rdsk = dir("rdsk");
    dir("rdsk/sub");
    dir("rdsk/sub/inner");
    dir("rdsk/s2");
    file(rdsk + "/c0s2");
    file(rdsk + "/c1s2");
    file(rdsk + "/sub/c2s2");
    file(rdsk + "/sub/inner/c3s2");
    file(rdsk + "/s2/c4s2"); // under a candidate directory: never reached
    link("..", rdsk + "/up"); // a link to a directory: not followed
    list = scan_dir(rdsk.c_str(), nullptr, "s2");

    std::vector<std::string> expected;
    for (const auto &n : listing(rdsk)) {
        if (n == "sub") {
            for (const auto &m : listing(rdsk + "/sub")) {
                if (m == "c2s2")
                    expected.push_back(rdsk + "/sub/c2s2");
                else if (m == "inner")
                    expected.push_back(rdsk + "/sub/inner/c3s2");
            }
        } else if (n == "c0s2" || n == "c1s2" || n == "s2") {
            expected.push_back(rdsk + "/" + n);
        }
    }
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(paths_of(list), expected);

    // A second scan into the same list adds nothing and keeps the head.
    device_path_node *head = list;
    list = scan_dir(rdsk.c_str(), list, "s2");
    EXPECT_EQ(list, head);
    EXPECT_EQ(paths_of(list), expected);
}

TEST_F(Scan, NothingFromMissingOrEmptyDirectories)
{
    const std::string empty = dir("empty");
    list = add_device(nullptr, "/dev/keep");
    device_path_node *head = list;
    EXPECT_EQ(scan_dir(empty.c_str(), list, "x"), head);
    EXPECT_EQ(scan_dir((root + "/missing").c_str(), list, "x"), head);
    EXPECT_EQ(scan_dir(std::string(2000, '/').c_str(), list, "x"), head);
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"/dev/keep"}));
}

TEST_F(Scan, PathsThatWouldNotFit1024BytesAreSkipped)
{
    // Nest directories until the path is a known length, then place two
    // candidates whose full paths are 1023 and 1024 characters.
    std::string d = root;
    while (d.size() < 700) {
        d += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    }
    const size_t room = 1023 - d.size() - 1; // name length of a 1023-character path
    ASSERT_LT(room, 255u);
    const std::string fits = std::string(room - 2, 'a') + "ln";
    const std::string too_long = std::string(room - 1, 'b') + "ln";
    file(d + "/" + fits);
    file(d + "/" + too_long);
    list = scan_dir(root.c_str(), nullptr, "ln");
    ASSERT_EQ(paths_of(list), (std::vector<std::string>{d + "/" + fits}));
    EXPECT_EQ(list->path.size(), 1023u);
}

// ---- get_stdin_devices --------------------------------------------------

// Puts text (or a terminal) on descriptor 0 for one call.
class Stdin : public ::testing::Test {
protected:
    void SetUp() override { saved = dup(0); }
    void TearDown() override
    {
        dup2(saved, 0);
        close(saved);
        clearerr(stdin);
        free_list(list);
    }
    void feed(const std::string &text)
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(p[1]);
        dup2(p[0], 0);
        close(p[0]);
        clearerr(stdin);
    }
    int saved = -1;
    device_path_node *list = nullptr;
};

TEST_F(Stdin, NamesEndAtSpacesAndNewlines)
{
    const struct {
        std::string input;
        std::vector<std::string> names;
    } cases[] = {
        {"a b\nc", {"a", "b"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"", {}},
        {" \n", {""}},
        {"tab\there\n", {"tab\there"}},
        {"x\nx\n", {"x"}},
        {std::string(1024, 'n') + "\n", {std::string(1024, 'n')}},
        {std::string(1025, 'n') + "\nok\n", {"ok"}},
    };
    for (const auto &c : cases) {
        feed(c.input);
        list = get_stdin_devices(nullptr);
        EXPECT_EQ(paths_of(list), c.names) << c.input.substr(0, 20);
        free_list(list);
        list = nullptr;
    }
}

TEST_F(Stdin, ATerminalIsNotRead)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(master, "dev\n", 4), 4);
    dup2(slave, 0);
    close(slave);
    list = add_device(nullptr, "/dev/keep");
    EXPECT_EQ(get_stdin_devices(list), list);
    EXPECT_EQ(paths_of(list), (std::vector<std::string>{"/dev/keep"}));
    close(master);
}

// ---- time stamps and intervals ------------------------------------------

TEST(Timestamp, Layout)
{
    char buf[TIMESTAMP_LEN];
    const time_t before = time(nullptr);
    timestamp(TS_DATE | TS_TIME, buf);
    ASSERT_EQ(strlen(buf), 20u);
    int mo, d, y, h, mi, s;
    char tail;
    ASSERT_EQ(sscanf(buf, "%2d/%2d/%4d %2d:%2d:%2d%c", &mo, &d, &y, &h, &mi, &s, &tail), 7);
    EXPECT_EQ(tail, ' ');
    struct tm tm;
    localtime_r(&before, &tm);
    EXPECT_EQ(y, tm.tm_year + 1900);
    EXPECT_GE(h, 0);
    EXPECT_LE(h, 23);
    EXPECT_EQ(buf[2], '/');
    EXPECT_EQ(buf[13], ':');

    EXPECT_EQ(strlen(timestamp(TS_DATE, buf)), 11u);
    EXPECT_EQ(buf[10], ' ');
    EXPECT_EQ(strlen(timestamp(TS_TIME, buf)), 9u);
    EXPECT_EQ(buf[2], ':');
    EXPECT_STREQ(timestamp(0, buf), "");
}

TEST(TimeDelta, Intervals)
{
    const struct {
        const char *start, *end;
        int unit;
        double expected;
    } cases[] = {
        {"03/04/2025 10:20:05 ", "03/04/2025 10:20:50 ", TD_SECONDS, 45},
        {"01/31/2025 23:59:50 ", "02/01/2025 00:00:20 ", TD_SECONDS, 30},
        {"04/30/2025 23:59:50 ", "05/01/2025 00:00:20 ", TD_SECONDS, 30},
        {"12/31/2024 23:59:50 ", "01/01/2025 00:00:20 ", TD_SECONDS, 30},
        {"02/28/2024 12:00:00 ", "03/01/2024 12:00:00 ", TD_DAYS, 2},
        {"02/28/2100 12:00:00 ", "03/01/2100 12:00:00 ", TD_DAYS, 1},
        {"02/28/2000 12:00:00 ", "03/01/2000 12:00:00 ", TD_DAYS, 2},
        {"01/01/2024 00:00:00 ", "01/01/2025 00:00:00 ", TD_DAYS, 366},
        {"01/01/2100 00:00:00 ", "01/01/2101 00:00:00 ", TD_DAYS, 365},
        // Whole years count by the year they start in, even past February.
        {"03/01/2023 00:00:00 ", "03/01/2024 00:00:00 ", TD_DAYS, 365},
        {"11/15/2023 08:00:00 ", "02/15/2024 08:00:00 ", TD_DAYS, 92},
        {"01/01/2000 00:00:00 ", "01/01/2400 00:00:00 ", TD_DAYS, 146097},
        {"01/01/1999 00:00:00 ", "01/01/2401 00:00:00 ", TD_DAYS, 146097 + 365 + 366},
        {"06/15/2025 10:00:00 ", "06/15/2025 10:01:30 ", TD_MINUTES, 2},
        {"06/15/2025 10:00:00 ", "06/15/2025 10:01:29 ", TD_MINUTES, 1},
        {"06/15/2025 10:00:00 ", "06/15/2025 11:29:30 ", TD_HOURS, 2},
        {"06/15/2025 10:00:00 ", "06/15/2025 11:29:29 ", TD_HOURS, 1},
        {"06/15/2025 00:00:00 ", "06/15/2025 11:59:30 ", TD_DAYS, 1},
        {"06/15/2025 00:00:00 ", "06/15/2025 11:29:29 ", TD_DAYS, 0},
        {"06/15/2025 23:00:00 ", "06/16/2025 01:00:00 ", TD_HOURS, 2},
        // The clock set back: a negative interval, measured as it is.
        {"06/15/2025 10:00:30 ", "06/15/2025 10:00:00 ", TD_SECONDS, -30},
    };
    for (const auto &c : cases)
        EXPECT_EQ(time_delta(c.start, c.end, c.unit), c.expected) << c.start << "-> " << c.end;
}

TEST(TimeDelta, EqualStampsAreZeroInEveryUnit)
{
    for (int unit : {TD_DAYS, TD_HOURS, TD_MINUTES, TD_SECONDS})
        EXPECT_EQ(time_delta("07/04/2025 12:34:56 ", "07/04/2025 12:34:56 ", unit), 0.0);
}

TEST(TimeDelta, MalformedTextsAndUnits)
{
    const char *good = "07/04/2025 12:34:56 ";
    const struct {
        const char *start, *end;
        int unit;
    } cases[] = {
        {"07-04-2025 12:34:56 ", good, TD_SECONDS}, // no slash
        {good, "07/04/2025 123456 ", TD_SECONDS},    // no colon
        {"", good, TD_SECONDS},
        {good, good, 4},
        {good, good, -1},
        {"13/01/2025 00:00:00 ", good, TD_SECONDS},
        {good, "00/01/2025 00:00:00 ", TD_SECONDS},
        {"-3/01/2025 00:00:00 ", good, TD_DAYS},
        {"01/01/2025 00:00:00 ", "01/01/99999999999 00:00:00 ", TD_DAYS}, // must not run for ages
    };
    for (const auto &c : cases)
        EXPECT_EQ(time_delta(c.start, c.end, c.unit), -1.0) << c.start << "-> " << c.end;
}

TEST(AdjustTime, BorrowsFromTheNextLargerPart)
{
    double d = 0, h = -1, m = -1, s = -1;
    adjust_time(&d, &h, &m, &s);
    EXPECT_EQ(d, -1);
    EXPECT_EQ(h, 22);
    EXPECT_EQ(m, 58);
    EXPECT_EQ(s, 59);

    d = 1, h = 0, m = 75, s = 0; // too large parts stay
    adjust_time(&d, &h, &m, &s);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(m, 75);
}

TEST(AdjustTime, PartsFarBelowZeroBorrowAtOnce)
{
    double d = 0, h = 0, m = -6000000, s = -1;
    adjust_time(&d, &h, &m, &s);
    EXPECT_EQ(s, 59);
    EXPECT_EQ(m, 59);
    EXPECT_EQ(h, 7);     // -100001 + 4167 x 24
    EXPECT_EQ(d, -4167);
    // The interval is unchanged: -6000000 minutes and 1 second.
    EXPECT_EQ(s + 60 * (m + 60 * (h + 24 * d)), -360000001.0);
}

TEST(TimeDelta, FieldsFarOutOfRangeEndQuicklyWithAFiniteValue)
{
    // Minutes that no clock writes: exact while a double holds them.
    EXPECT_EQ(time_delta("01/01/2024 00:6000000:00 ", "01/01/2024 00:00:00 ", TD_SECONDS),
              -360000000.0);
    EXPECT_EQ(time_delta("01/01/2024 00:00:00 ", "01/01/2024 00:6000000:00 ", TD_SECONDS),
              360000000.0);
    // Fields atol clamps to the ends of a long, whose difference no long holds.
    const char *low = "01/-99999999999999999999/2024 00:-99999999999999999999:-99999999999999999999 ";
    const char *high = "01/99999999999999999999/2024 00:99999999999999999999:99999999999999999999 ";
    for (int unit : {TD_DAYS, TD_HOURS, TD_MINUTES, TD_SECONDS}) {
        EXPECT_TRUE(std::isfinite(time_delta(low, high, unit))) << unit;
        EXPECT_TRUE(std::isfinite(time_delta(high, low, unit))) << unit;
    }
}

TEST(SprintfTime, Words)
{
    const struct {
        double seconds;
        const char *text;
    } cases[] = {
        {0, "0 seconds"},
        {0.4, "0 seconds"},
        {1, "1 second"},
        {59.9, "59 seconds"},
        {60, "1 minute, 0 seconds"},
        {240, "4 minutes, 0 seconds"},
        {3725, "1 hour, 2 minutes, 5 seconds"},
        {7322, "2 hours, 2 minutes, 2 seconds"},
        {86400, "1 day, 0 seconds"},
        {172801, "2 days, 1 second"},
        {90061, "1 day, 1 hour, 1 minute, 1 second"},
        {86400.0 * 1000 + 3600, "1000 days, 1 hour, 0 seconds"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sprintf_time(c.seconds), c.text) << c.seconds;
}

// ---- delays and numbers -------------------------------------------------

TEST(Delays, ZeroAndNegativeReturnAtOnce)
{
    delayms(0);
    delayms(-5);
    delayms(-2000000000);
    EXPECT_EQ(delays(0), 0u);
}

TEST(PrintWithCommas, GroupsOfThree)
{
    const struct {
        double value;
        const char *printed;
        int result;
    } cases[] = {
        {1234567, "1,234,567", 7},
        {999, "999", 3},
        {1000.7, "1,001", 4},
        {0, "0", 1},
        {-1234, "-1,234", 5},
        {-123, "-,123", 4},
        {100, "100", 3},
        {1000, "1,000", 4},
        {INFINITY, "inf", 3},
        {-INFINITY, "-inf", 4},
        {NAN, "nan", 3},
    };
    for (const auto &c : cases) {
        ::testing::internal::CaptureStdout();
        const int n = print_with_commas(c.value);
        fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.value;
        EXPECT_EQ(n, c.result) << c.value;
    }
}

TEST(PrintWithCommas, LargestValuesKeepEveryDigit)
{
    for (double v : {1e31, DBL_MAX, -DBL_MAX}) {
        char digits[400];
        snprintf(digits, sizeof digits, "%.0f", v);
        std::string expected;
        const size_t n = strlen(digits);
        for (size_t i = 0; i < n; ++i) {
            expected += digits[i];
            if ((n - i) % 3 == 1 && i + 1 < n)
                expected += ',';
        }
        ::testing::internal::CaptureStdout();
        const int result = print_with_commas(v);
        fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
        EXPECT_EQ(result, static_cast<int>(n));
    }
}

} // namespace
