// The update history: which image went into which drive, when, and how it
// ended. Shared by the terminal session and the batch mode.
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "brisk.h"
#include "uscsi_bytes.h"

using ordered_json = nlohmann::ordered_json;

namespace {

constexpr const char *DEFAULT_HISTORY = "/var/lib/brisk/history.jsonl";

constexpr std::array<uint32_t, 64> SHA256_K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void sha256_block(uint32_t h[8], const unsigned char *p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = get_be32(p + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::copy(h, h + 8, v);
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                            ((v[4] & v[5]) ^ (~v[4] & v[6])) + SHA256_K[i] + w[i];
        const uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                            ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        std::copy_backward(v, v + 7, v + 8);
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i)
        h[i] += v[i];
}

std::string user_name()
{
    const struct passwd *pw = getpwuid(getuid());
    return pw ? pw->pw_name : std::to_string(getuid());
}

std::string host_name()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

bool append(history_log *log, const ordered_json &record)
{
    const std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // One write for the whole line, so that two runs never interleave
    // theirs; synced, so that it outlives a crash of the host.
    if (write(log->fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        fsync(log->fd) != 0) {
        fprintf(stderr, "Cannot write the update history %s: %s\n", log->path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

ordered_json record_of(const history_log &log, const device_entry &entry, const char *event)
{
    const unsigned char *inq = entry.inquiry_data;
    const download_params *row = get_download_params(&entry, log.image_path.c_str());
    ordered_json r = {{"time", utc_now()},
                      {"event", event},
                      {"run_id", log.run_id},
                      {"host", host_name()},
                      {"user", user_name()},
                      {"node", entry.path},
                      {"vendor", inquiry_text(inq + 8, 8)},
                      {"product", inquiry_text(inq + 16, 16)},
                      {"serial", entry.serial},
                      {"image_path", log.image_path},
                      {"image_size", log.image_size},
                      {"image_sha256", log.image_sha256}};
    if (row) {
        r["method_vendor"] = row->vendor;
        r["method_product"] = row->product;
        r["method_file_match"] = row->file_match;
        r["method_mode"] = row->wb_mode;
        r["method_buffer_id"] = row->buffer_id;
        r["method_fallback"] = is_fallback_row(row);
    }
    return r;
}

std::string field(const ordered_json &r, const char *key)
{
    const auto it = r.find(key);
    return it != r.end() && it->is_string() ? it->get<std::string>() : "";
}

} // namespace

std::string utc_now()
{
    char text[32];
    const time_t now = time(nullptr);
    struct tm tm_utc;
    gmtime_r(&now, &tm_utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    return text;
}

std::string sha256_hex(const unsigned char *data, size_t size)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t done = 0;
    for (; size - done >= 64; done += 64)
        sha256_block(h, data + done);
    unsigned char tail[128] = {};
    const size_t rest = size - done;
    memcpy(tail, data + done, rest);
    tail[rest] = 0x80;
    const size_t tail_len = rest < 56 ? 64 : 128;
    put_be32(tail + tail_len - 8, static_cast<uint32_t>(static_cast<uint64_t>(size) >> 29));
    put_be32(tail + tail_len - 4, static_cast<uint32_t>(size << 3));
    for (size_t i = 0; i < tail_len; i += 64)
        sha256_block(h, tail + i);
    char hex[65];
    for (int i = 0; i < 8; ++i)
        snprintf(hex + 8 * i, 9, "%08x", h[i]);
    return hex;
}

std::string history_path(const char *option)
{
    if (option)
        return option;
    const char *env = getenv("BRISK_HISTORY");
    return env && *env ? env : DEFAULT_HISTORY;
}

std::string new_run_id()
{
    unsigned char bytes[16] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Time and process make a run's id unique enough on one host.
        const uint64_t t = static_cast<uint64_t>(time(nullptr));
        memcpy(bytes, &t, sizeof t);
        const pid_t pid = getpid();
        memcpy(bytes + 8, &pid, sizeof pid);
    }
    char hex[33];
    for (int i = 0; i < 16; ++i)
        snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return hex;
}

std::string inquiry_text(const unsigned char *field, size_t width)
{
    std::string t;
    for (size_t i = 0; i < width && field[i]; ++i)
        t += field[i] >= 0x20 && field[i] <= 0x7E ? static_cast<char>(field[i]) : ' ';
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    return t;
}

std::string device_class(const device_entry &entry)
{
    switch (entry.inquiry_data[0]) {
    case 0x01:
        return "tape";
    case 0x08:
        return "changer";
    default:
        return "optical";
    }
}

bool history_open(history_log *log, const std::string &path, const firmware_image &image)
{
    log->path = path;
    log->run_id = new_run_id();
    log->image_path = image.path;
    log->image_size = static_cast<long>(image.data.size());
    log->image_sha256 = image.sha256;
    // The directory the package makes, made here too when brisk was not
    // installed from it; only its last level, so a mistyped path fails.
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        mkdir(path.substr(0, slash).c_str(), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
    log->fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                   S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
    if (log->fd < 0) {
        fprintf(stderr, "Cannot write the update history %s: %s\nDownload not performed\n",
                path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool history_started(history_log *log, const device_entry &entry, const download_params &)
{
    ordered_json r = record_of(*log, entry, "started");
    r["revision_before"] = entry.revision_before;
    if (!append(log, r))
        return false;
    log->pending.push_back(&entry);
    return true;
}

const char *download_outcome(const device_entry &entry, const char *target)
{
    if (entry.state == DEV_UPDATE_FAILED)
        return "failed";
    if (entry.state != DEV_FW_UPGRADED)
        return "unavailable";
    const std::string after = inquiry_text(entry.inquiry_data + 32, 4);
    if (*target != '\0' && after == target)
        return "upgraded";
    if (after == entry.revision_before)
        return "unchanged";
    // Another revision than the one asked for is not what was planned.
    return *target != '\0' ? "failed" : "upgraded";
}

void history_settled(history_log *log, const device_entry &entry)
{
    const auto it = std::find(log->pending.begin(), log->pending.end(), &entry);
    if (it == log->pending.end())
        return;
    log->pending.erase(it);
    ordered_json r = record_of(*log, entry, "finished");
    const std::string after = inquiry_text(entry.inquiry_data + 32, 4);
    r["revision_after"] = entry.state == DEV_FW_UPGRADED ? ordered_json(after) : ordered_json(nullptr);
    r["revision_before"] = entry.revision_before;
    r["outcome"] = download_outcome(entry, log->target.c_str());
    append(log, r);
    syslog(LOG_NOTICE, "firmware download to %s (%s %s, serial %s), image %s (sha256 %s): %s",
           entry.path, field(r, "vendor").c_str(), field(r, "product").c_str(), entry.serial.c_str(),
           log->image_path.c_str(), log->image_sha256.c_str(), field(r, "outcome").c_str());
}

void record_downloads(engine_caller *caller, history_log *log)
{
    caller->starting = [log](const device_entry &entry, const download_params &row) {
        return !log || history_started(log, entry, row);
    };
    caller->settled = [log](const device_entry &entry) {
        if (log)
            history_settled(log, entry);
    };
}

bool parse_history_line(const std::string &line, std::string *json_out)
{
    const ordered_json r = ordered_json::parse(line, nullptr, false);
    if (!r.is_object() || !r.contains("event") || !r.contains("node"))
        return false;
    *json_out = r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return true;
}

int print_history(const std::string &path, bool json)
{
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT) {
            if (json)
                puts("{\"version\": 1, \"records\": []}");
            return 0;
        }
        fprintf(stderr, "Cannot read the update history %s: %s\n", path.c_str(), strerror(errno));
        return 255;
    }
    std::string line;
    std::string record;
    int number = 0;
    bool first = true;
    if (json)
        fputs("{\"version\": 1, \"records\": [", stdout);
    while (std::getline(in, line)) {
        ++number;
        if (!parse_history_line(line, &record)) {
            // A line cut short by a crash of the host tells nothing more.
            fprintf(stderr, "%s line %d is not a record; skipped\n", path.c_str(), number);
            continue;
        }
        if (json) {
            printf("%s\n  %s", first ? "" : ",", record.c_str());
            first = false;
            continue;
        }
        const ordered_json r = ordered_json::parse(record);
        std::string revisions = field(r, "revision_before");
        if (field(r, "event") == "finished")
            revisions = field(r, "revision_after").empty() ? "----" : field(r, "revision_after");
        printf("%s  %-8s  %s  %s %s %s  %s  %s  %s\n", field(r, "time").c_str(),
               field(r, "event").c_str(), field(r, "node").c_str(), field(r, "vendor").c_str(),
               field(r, "product").c_str(), field(r, "serial").c_str(), revisions.c_str(),
               field(r, "outcome").empty() ? "-" : field(r, "outcome").c_str(),
               field(r, "image_path").c_str());
    }
    if (json)
        puts(first ? "]}" : "\n]}");
    return 0;
}

std::vector<std::string> transcript_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
