// General library: candidate device paths, time stamps, delays, numbers.
#include "generic_functions.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---- candidate path list ------------------------------------------------

device_path_node *add_device(device_path_node *list, std::string path)
{
    device_path_node *tail = nullptr;
    for (device_path_node *n = list; n; n = n->next) {
        if (n->path == path)
            return list;
        tail = n;
    }
    auto *node = new device_path_node;
    node->path = std::move(path);
    if (!tail)
        return node;
    tail->next = node;
    return list;
}

device_path_node *rem_device(device_path_node *list, device_path_node *node)
{
    if (!list || !node)
        return list;
    if (node == list) {
        device_path_node *second = list->next;
        delete node;
        return second;
    }
    for (device_path_node *p = list; p->next; p = p->next) {
        if (p->next == node) {
            p->next = node->next;
            delete node;
            return list;
        }
    }
    return list;
}

namespace {

constexpr size_t PATH_BUF = 1024;

// Directories whose subdirectories are never entered.
bool flat_directory(const std::string &dir)
{
    for (const char *part : {"/dsk", "/fd", "/rmt", "/scsi"}) {
        if (dir.find(part) != std::string::npos)
            return true;
    }
    return false;
}

device_path_node *scan_into(std::string &dir, device_path_node *list, const char *filter)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return list;
    while (const dirent *entry = readdir(d)) {
        const char *name = entry->d_name;
        if (name[0] == '.' || name[0] == '\0')
            continue;
        // dir + "/" + name must fit the 1024-byte path buffers.
        if (dir.size() + 1 + strlen(name) > PATH_BUF - 1)
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (strstr(name, filter)) {
            if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                char target[PATH_BUF];
                const ssize_t n = readlink(path.c_str(), target, sizeof target);
                // A target that fills the buffer may be cut: not trusted.
                if (n >= static_cast<ssize_t>(sizeof target))
                    continue;
                if (n >= 1 && memmem(target, static_cast<size_t>(n), "/ide@", 5))
                    continue;
            }
            list = add_device(list, std::move(path));
        } else if (!flat_directory(dir)) {
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                const size_t keep = dir.size();
                dir += "/";
                dir += name;
                list = scan_into(dir, list, filter);
                dir.resize(keep);
            }
        }
    }
    closedir(d);
    return list;
}

} // namespace

device_path_node *scan_dir(const char *dir, device_path_node *list, const char *filter)
{
    std::string buffer(dir);
    if (buffer.size() > PATH_BUF - 1)
        return list;
    return scan_into(buffer, list, filter);
}

device_path_node *get_stdin_devices(device_path_node *list)
{
    struct termios t;
    if (tcgetattr(0, &t) == 0)
        return list;
    constexpr size_t NAME_MAX_CHARS = 1024;
    std::string name;
    bool too_long = false;
    int c;
    while ((c = getchar()) != EOF) {
        if (c == '\n' || c == ' ') {
            // Over-long names are dropped whole rather than cut.
            if (!too_long)
                list = add_device(list, name);
            name.clear();
            too_long = false;
        } else if (name.size() < NAME_MAX_CHARS) {
            name.push_back(static_cast<char>(c));
        } else {
            too_long = true;
        }
    }
    return list;
}

// ---- time stamps and intervals ------------------------------------------

namespace {

constexpr int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool leap_year(long y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

} // namespace

char *timestamp(int parts, char *buffer)
{
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char text[64] = "";
    size_t used = 0;
    if (parts & TS_DATE)
        used += static_cast<size_t>(snprintf(text, sizeof text, "%02d/%02d/%04d ", tm.tm_mon + 1,
                                             tm.tm_mday, tm.tm_year + 1900));
    if (parts & TS_TIME)
        snprintf(text + used, sizeof text - used, "%02d:%02d:%02d ", tm.tm_hour, tm.tm_min,
                 tm.tm_sec);
    // A year past 9999 would not fit: the text is cut at the field's size.
    const size_t n = strnlen(text, TIMESTAMP_LEN - 1);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return buffer;
}

namespace {

// Borrows from the next larger part as many units as the part lacks, in one
// step: the result of borrowing one unit at a time, but a part far below
// zero (a text that no clock made) cannot keep the normalisation going.
void borrow(double *part, double *larger, double base)
{
    if (!(*part < 0))
        return;
    double units = std::ceil(-*part / base);
    *part += units * base;
    // Beyond the exact range of a double the sum may round below zero.
    if (*part < 0) {
        *part += base;
        units += 1;
    }
    *larger -= units;
}

} // namespace

void adjust_time(double *days, double *hours, double *minutes, double *seconds)
{
    borrow(seconds, minutes, 60);
    borrow(minutes, hours, 60);
    borrow(hours, days, 24);
}

namespace {

struct stamp_fields {
    long month, day, year, hours, minutes, seconds;
};

bool read_stamp(const char *text, stamp_fields *f)
{
    const char *first_slash = strchr(text, '/');
    const char *last_slash = strrchr(text, '/');
    const char *first_colon = strchr(text, ':');
    const char *last_colon = strrchr(text, ':');
    if (!first_slash || !first_colon)
        return false;
    f->month = atol(text);
    f->day = atol(first_slash + 1);
    f->year = atol(last_slash + 1);
    // The hours are the two characters before the first colon.
    const char *h = first_colon - text >= 2 ? first_colon - 2 : text;
    f->hours = atol(h);
    f->minutes = atol(first_colon + 1);
    f->seconds = atol(last_colon + 1);
    return true;
}

} // namespace

double time_delta(const char *start, const char *end, int unit)
{
    stamp_fields s, e;
    if (!read_stamp(start, &s) || !read_stamp(end, &e))
        return -1.0;
    if (unit < TD_DAYS || unit > TD_SECONDS)
        return -1.0;
    // Month walk needs real months to end.
    if (s.month < 1 || s.month > 12 || e.month < 1 || e.month > 12)
        return -1.0;
    // Years far outside any clock's range cannot come from a time stamp.
    if (s.year < 0 || s.year > 999999 || e.year < 0 || e.year > 999999)
        return -1.0;

    double days = 0, hours = 0, minutes = 0, seconds = 0;
    long m = s.month;
    long y = s.year;
    while (m != e.month) {
        days += month_days[m - 1] + ((m == 2 && leap_year(y)) ? 1 : 0);
        if (++m > 12) {
            m = 1;
            ++y;
        }
    }
    // Differences in double: the fields are whatever atol made of the text,
    // and their difference need not fit a long.
    days += static_cast<double>(e.day) - static_cast<double>(s.day);
    // Whole years, in 400-year cycles once the walk reaches one.
    while (y < e.year && y % 400 != 0) {
        days += leap_year(y) ? 366 : 365;
        ++y;
    }
    const long cycles = (e.year - y) / 400;
    if (cycles > 0) {
        days += cycles * 146097.0;
        y += cycles * 400;
    }
    while (y < e.year) {
        days += leap_year(y) ? 366 : 365;
        ++y;
    }

    hours = static_cast<double>(e.hours) - static_cast<double>(s.hours);
    adjust_time(&days, &hours, &minutes, &seconds);
    minutes = static_cast<double>(e.minutes) - static_cast<double>(s.minutes);
    adjust_time(&days, &hours, &minutes, &seconds);
    seconds = static_cast<double>(e.seconds) - static_cast<double>(s.seconds);
    adjust_time(&days, &hours, &minutes, &seconds);

    switch (unit) {
    case TD_SECONDS:
        return seconds + 60 * (minutes + 60 * (hours + 24 * days));
    case TD_MINUTES:
        return minutes + 60 * (hours + 24 * days) + (seconds >= 30 ? 1 : 0);
    case TD_HOURS:
        if (seconds >= 30)
            minutes += 1;
        return hours + 24 * days + (minutes >= 30 ? 1 : 0);
    default:
        if (seconds >= 30)
            minutes += 1;
        if (minutes >= 30)
            hours += 1;
        return days + (hours >= 12 ? 1 : 0);
    }
}

double monotonic_seconds()
{
    struct timespec ts = {};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string sprintf_time(double value)
{
    const long days = static_cast<long>(value / 86400);
    double rest = value - days * 86400.0;
    const long hours = static_cast<long>(rest / 3600);
    rest -= hours * 3600.0;
    const long minutes = static_cast<long>(rest / 60);
    rest -= minutes * 60.0;
    const long seconds = static_cast<long>(rest);

    std::string text;
    char piece[64];
    auto add = [&](long count, const char *one, const char *many) {
        snprintf(piece, sizeof piece, count == 1 ? one : many, count);
        text += piece;
    };
    if (days > 0)
        add(days, "%ld day, ", "%ld days, ");
    if (hours > 0)
        add(hours, "%ld hour, ", "%ld hours, ");
    if (minutes > 0)
        add(minutes, "%ld minute, ", "%ld minutes, ");
    add(seconds, "%ld second", "%ld seconds");
    return text;
}

// ---- delays and numbers -------------------------------------------------

namespace {

long long now_ms()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

} // namespace

void delayms(int ms)
{
    long long now = now_ms();
    const long long target = now + ms;
    if (ms > 1000)
        sleep(static_cast<unsigned>(ms / 1000));
    while (now < target)
        now = now_ms();
}

unsigned int delays(unsigned int seconds)
{
    return sleep(seconds);
}

int print_with_commas(double value)
{
    if (!std::isfinite(value)) {
        // "inf", "-inf" and "nan" are printed as they are.
        const int n = printf("%.0f", value);
        return n < 0 ? 0 : n;
    }
    // Large enough for the "%.0f" text of any finite double.
    char text[400];
    snprintf(text, sizeof text, "%.0f", value);
    const int n = static_cast<int>(strlen(text));
    for (int i = 0; i < n; ++i) {
        printf("%c", text[i]);
        if ((n - i) % 3 == 1 && i < n - 1)
            printf(",");
    }
    return n;
}
