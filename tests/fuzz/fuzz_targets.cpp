// Fuzz targets, one per input that a device, a firmware file or the operator controls; each executable
// is this file with FUZZ_TARGET naming one. Inputs read front to back; bytes past the end read 0.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "brisk.h"
#include "fake_host.h"
#include "uscsi_bytes.h"
#include "uscsi_spc.h"

extern "C" unsigned int sleep(unsigned int) { return 0; } // the engine's waits cost nothing here

namespace fuzz {

using namespace fake_host;

void check(bool holds) { if (!holds) abort(); } // so that the fuzzer keeps the input
bool all(const unsigned char *p, size_t n, int value) { return std::count(p, p + n, value) == long(n); }

struct input {
    const uint8_t *data;
    size_t size, pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t le(int n) { const uint32_t low = byte(); return n > 1 ? low | le(n - 1) << 8 : low; } // lowest first
    std::string take(size_t n) { n = std::min(n, size - pos), pos += n; return std::string(data + pos - n, data + pos); }
};

// The device's answers, one record per command: kind, length (255 adds the next byte), data. kind % 5:
// 0 and 4 GOOD with the data in, 1 CHECK CONDITION with the data as sense, 2 the host call fails, 3
// BUSY. Past the script `after` answers, else GOOD.
void script(const std::string &s, std::function<reply(const command &)> after = nullptr)
{
    reset();
    handler = after;
    for (input in{reinterpret_cast<const uint8_t *>(s.data()), s.size()}; in.pos < in.size;) {
        const int kind = in.byte() % 5, n = in.byte();
        const std::string d = in.take(n == 255 ? n + in.byte() : n);
        const bytes b(d.begin(), d.end());
        push(kind % 4 == 0 ? reply{0, 0, 0, b}
                           : reply{-1, EIO, kind == 1 ? 2 : kind == 3 ? 8 : 0, {}, kind == 1 ? b : bytes()});
    }
}

// build_select_list over 0 to 40 records. Input: n, n states, count (0: n, else count + 2), default
// (16 bits), standard input.
void select(input in)
{
    const int n = in.byte() % 41;
    std::vector<device_entry> records(n);
    std::vector<int32_t> before;
    for (int i = 0; i < n; ++i) {
        before.push_back(records[i].state = static_cast<int8_t>(in.byte()));
        records[i].next = i + 1 < n ? &records[i + 1] : nullptr;
    }
    const int count = in.byte();
    int default_selection = static_cast<int16_t>(in.le(2));
    std::string text = in.take(in.size);
    FILE *stream = fmemopen(text.data(), text.size(), "r");
    std::swap(stdin, stream);
    const int result = build_select_list(n ? &records[0] : nullptr, count ? count - 2 : n ? n : -1, &default_selection);
    std::swap(stdin, stream);
    fclose(stream);
    int moved = 0;
    for (int i = 0; i < n; ++i) {
        // Only a record free to choose moves, and only to selected.
        check(records[i].state == before[i] || (before[i] >= DEV_UNKNOWN && before[i] <= DEV_UPDATE_FAILED &&
                                                records[i].state == DEV_SELECTED));
        moved += records[i].state != before[i];
    }
    check(result <= n && result >= -256 * n && std::max(result, 0) == moved);
}

// The TOSHIBA unlock on any file, for one drive or two. Input: mode (bit 0: repeat the text up to the
// target size, bit 1: a second drive), target size (24 bits), script length (16 bits), script, file.
void unlock(input in)
{
    const uint8_t mode = in.byte();
    const size_t target = in.le(3) % 200000;
    const std::string answers = in.take(in.le(2)), text = in.take(in.size);
    firmware_image image;
    // The file's size exactly, as the loader allocates it.
    image.data = std::vector<unsigned char>((mode & 1) && !text.empty() ? target : text.size());
    for (size_t i = 0; i < image.data.size(); ++i)
        image.data[i] = static_cast<unsigned char>(text[i % text.size()]);
    image.file_status.st_size = static_cast<off_t>(image.data.size());
    device_entry entry;
    strcpy(entry.path, "/dev/null");
    static scsi_cmd_block block;
    script(answers);
    for (int round = 0; round <= (mode >> 1 & 1); ++round) {
        unlock_toshiba(&entry, &image, &block, 0);
        // The converted image ends past its trailer, inside the file's buffer.
        const size_t size = static_cast<size_t>(image.file_status.st_size);
        check(size <= image.data.size() && (image.converted != 1 || size >= 0xC000 + 3));
    }
}

// time_delta on any texts. Input: unit (signed), start up to a zero byte, end.
void time_delta(input in)
{
    const int unit = static_cast<int8_t>(in.byte());
    const std::string text = in.take(in.size);
    const char *start = text.c_str(), *end = start + std::min(text.size(), strlen(start) + 1);
    const double result = ::time_delta(start, end, unit);
    check(result == -1.0 || (std::isfinite(result) && unit >= TD_DAYS && unit <= TD_SECONDS));
}

// The inventory's INQUIRY, then the download engine against any method, block limits, host transfer limit
// and failing command. Input: row (below 18: that row of the table; else its fields follow: mode, control,
// commands, buffer ID, offsets, final save, transfer size and block length of 32 bits each), option bits,
// image length (24 bits), host limit (32 bits), script; past it, no medium to TEST UNIT READY.
void download(input in)
{
    const uint8_t which = in.byte();
    download_params row = params_array[std::min<int>(which, PARAMS_ROWS - 1)];
    if (which >= PARAMS_ROWS) // braces: the fields read in order
        std::tie(row.wb_mode, row.control, row.commands, row.buffer_id, row.use_offsets, row.final_save, row.xfer_size,
                 row.block_length) = std::tuple{in.byte(), in.byte(), in.byte(), in.byte(), in.byte(), in.byte() % 3,
                                                static_cast<int32_t>(in.le(4)), in.le(4)};
    const int flags = in.byte() & (OPT_VERBOSE | OPT_DEBUG);
    firmware_image image;
    image.data = std::vector<unsigned char>(in.le(3) % 12000); // one byte per command still ends soon
    image.file_status.st_size = static_cast<off_t>(image.data.size());
    const long host_max = static_cast<int32_t>(in.le(4));
    script(in.take(in.size), [](const command &c) { return c.cdb[0] == 0 ? check_condition(2, 0x3A) : reply(); });
    max_transfer = host_max;
    scsi_cmd_block block;
    memset(&block, 0xA5, sizeof block);
    ::inquiry(3, &block, flags & OPT_VERBOSE);
    check(all(block.mode_data, MODE_DATA_LEN, 0xA5) && all(block.sense_ext, SENSE_EXT_LEN, 0xA5)); // untouched
    device_entry entry;
    strcpy(entry.path, "/dev/null");
    entry.inquiry_data = block.inq_data;
    const engine_caller quiet{[](auto &, auto &) { return true; }, [](auto &) { return false; }, [](auto &) {},
                              [](auto &, auto &) { return true; }, [](auto &) {}};
    ::download(&entry, &image, &block, &row, flags, quiet);

    size_t sent = 0, writes = 0;
    bool closed = false;
    for (const command &c : requests) {
        if (c.cdb[0] != 0x3B)
            continue;
        // Offsets and lengths in their fields; the data inside the image, in order; a closing
        // command without data only at its end.
        check(!(flags & OPT_DEBUG) && !closed && get_be24(&c.cdb[6]) == c.buflen && c.buflen <= 524288 &&
              (host_max < 512 || c.buflen <= host_max) && get_be24(&c.cdb[3]) == (row.use_offsets ? sent : 0));
        check(c.buflen ? c.bufaddr == image.data.data() + sent && sent + c.buflen <= image.data.size()
                       : row.final_save == 2 && sent == image.data.size());
        closed = c.buflen == 0;
        writes += c.buflen > 0;
        sent += c.buflen;
    }
    // After a failed WRITE BUFFER the drive sees nothing more.
    check(entry.state == DEV_WRITING_FLASH || (entry.state == DEV_UPDATE_FAILED &&
          ((!writes && !closed) || requests.back().cdb[0] == 0x3B)));
    check(entry.state != DEV_WRITING_FLASH || (flags & OPT_DEBUG) ||
          (sent == image.data.size() && closed == (row.final_save == 2)));
    check(row.commands != 1 || writes <= 1);
}

// The batch mode's option and history parsers: one text, split at the first newline.
void arguments(input in)
{
    const std::string text = in.take(in.size), arg = text.substr(0, text.find('\n'));
    identity_match m;
    std::string why, digest, record;
    std::vector<std::string> revisions;
    // Whatever a parser accepts it took whole, and within the fields it names.
    if (parse_match(arg.c_str(), &m, &why))
        check(!m.vendor.empty() && m.vendor.size() <= 8 && m.product.size() <= 16 && strlen(arg.c_str()) ==
              m.vendor.size() + m.product.size() + m.serial.size() + std::count(arg.begin(), arg.end(), ':') -
              std::count(m.serial.begin(), m.serial.end(), ':'));
    if (parse_revisions(arg.c_str(), &revisions, &why))
        for (const auto &r : revisions)
            check(!r.empty() && r.size() <= 4);
    if (parse_sha256(arg.c_str(), &digest, &why))
        check(digest.size() == 64 && digest.find_first_not_of("0123456789abcdef") == std::string::npos);
    if (parse_history_line(text, &record))
        check(parse_history_line(record, &why) && why == record);
}

} // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No terminal on standard input (a prompt would drop what it holds), no standard output.
    [[maybe_unused]] static const bool quiet = dup2(open("/dev/null", O_RDONLY), 0) == 0 &&
                                               freopen("/dev/null", "w", stdout);
    FUZZ_TARGET(fuzz::input{data, size});
    return 0;
}
