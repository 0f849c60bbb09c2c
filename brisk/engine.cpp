// The download engine: the image file, the table of download methods, the
// drive preparations (tape eject, drive unlock), the WRITE BUFFER transfer
// and the checks after recovery. It never reads input: every question goes
// to its caller (engine_caller), and it says what happens through say().
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "brisk.h"
#include "uscsi_bytes.h"
#include "uscsi_host.h"
#include "uscsi_sbc.h"
#include "uscsi_spc.h"
#include "uscsi_ssc.h"

// clang-format off
download_params params_array[PARAMS_ROWS] = {
    {"ADIC",     "FastStor 2", "S_R_",  30, 5, 0, 1, 0x81, 0, 0,     0,    0},
    {"ADIC",     "FastStor 2", "",      30, 5, 0, 1, 0x82, 0, 0,     0,    0},
    {"ADIC",     "FastStor",   "",     240, 5, 0, 0, 0x00, 0, 0,     0,    0},
    {"ARCHIVE",  "",           "",     240, 5, 0, 1, 0x00, 1, 0,     0,    0},
    {"EXABYTE",  "",           "",     240, 5, 1, 0, 0x00, 1, 0,     0,    0},
    {"HP",       "ThinStor",   "S_R_",  30, 5, 0, 1, 0x81, 0, 0,     0,    0},
    {"HP",       "ThinStor",   "",      30, 5, 0, 1, 0x82, 0, 0,     0,    0},
    {"HP",       "Ultrium",    "",     120, 4, 0, 0, 0x00, 0, 2, 65536,    0},
    {"HP",       "",           "",     240, 4, 0, 0, 0x01, 0, 0, 32768,    0},
    {"IBM",      "",           "",     120, 4, 0, 0, 0x00, 1, 0,     0,    4},
    {"QUANTUM",  "DLT",        "",     240, 5, 0, 0, 0x00, 1, 0,     0, 8192},
    {"QUANTUM",  "",           "",     240, 4, 0, 0, 0x00, 1, 1,     0, 8192},
    {"SEAGATE",  "ULTRIUM",    "",     240, 6, 0, 0, 0x00, 1, 2,     0,    0},
    {"SEAGATE",  "",           "",     240, 5, 0, 0, 0x00, 1, 0,  8192,    0},
    {"STK",      "",           "",     240, 6, 0, 0, 0x00, 0, 1,     0,    4},
    {"TANDBERG", "",           "",     240, 7, 0, 0, 0x00, 1, 0,     0,    0},
    {"TOSHIBA",  "",           "",     240, 5, 0, 0, 0x00, 1, 0,     0,    0},
    {"default",  "",           "",     240, 5, 0, 0, 0x00, 1, 0,     0,    4},
};
// clang-format on

namespace {

constexpr int32_t PASS_THROUGH_MAX = 524288;
constexpr int32_t OLD_HOST_MAX = 64512;
constexpr int32_t FIXED_RECORD_MAX = 64512;
constexpr int32_t VARIABLE_RECORD_MAX = 65534;
constexpr double OLD_HOST_RELEASE = 5.6;

constexpr int TYPE_SEQUENTIAL = 0x01;
constexpr int TYPE_CHANGER = 0x08;

constexpr int EJECT_SETTLE_SECONDS = 5;
// Accepted unloads that leave the cartridge in before the operator is asked.
constexpr int EJECT_PASSES_BEFORE_ASKING = 12;
// Tests while a drive reports that it is becoming ready (a cartridge being
// loaded) before it is taken for loaded.
constexpr int BECOMING_READY_TESTS = 12;

// Layout of the unlocked image: 49152 bytes of microcode, then the sum and
// the trailer, 0xC004 being the highest byte written.
constexpr long UNLOCK_IMAGE_LEN = 0xC000;
constexpr long UNLOCK_BUFFER_MIN = 0xC005;
constexpr int DIAG_AREA_LEN = 76;

// Waits between readiness checks after a reset, and how many of them a
// device gets before it is given up as unreachable.
constexpr int READY_POLL_SECONDS = 15;
constexpr int READY_POLL_LIMIT = 8;
constexpr int DEBUG_RECOVERY_SECONDS = 15;
constexpr int DEFAULT_RECOVERY_SECONDS = 240;

// A terminal or pipe that goes away must not end a run that has drives to
// see through.
const int hangup_signals[] = {SIGHUP, SIGPIPE};

std::string *transcript = nullptr;

// One transfer-size rule: the size is lowered to `limit`, and debug mode
// says why.
void lower_transfer(int32_t *xfer, long limit, bool debug, const char *reason)
{
    if (*xfer <= limit)
        return;
    *xfer = static_cast<int32_t>(limit);
    if (debug)
        say(stderr, "Setting transfer size to %d because of %s\n", *xfer, reason);
}

void refuse(device_entry *entry, const engine_caller &caller)
{
    release_device(entry);
    caller.refused(*entry);
}

int open_mode(const device_entry *entry)
{
    const unsigned char type = entry->inquiry_data[0];
    return (type == TYPE_SEQUENTIAL || type == TYPE_CHANGER) ? O_RDWR : O_RDONLY;
}

// The end of a transfer that may have reached the drive: the command was
// lost in transport, timed out, or met a reset or unit attention.
bool uncertain(const scsi_result &r)
{
    if (r.err != 0 || r.host_status != 0 || (r.driver_status & 0x07) != 0)
        return true;
    return has_current_sense(r) && r.sense.key == 6;
}

double host_release()
{
    struct utsname u;
    if (uname(&u) != 0)
        return 0.0;
    return atof(u.release);
}

// Converts the hexadecimal text after the first line into bytes at out
// (only counts when out is null); returns the number of bytes.
long convert_hex(const unsigned char *text, long size, unsigned char *out)
{
    const void *nl = memchr(text, '\n', static_cast<size_t>(size));
    // Without a newline there is no first line to skip past.
    long pos = nl ? static_cast<const unsigned char *>(nl) - text + 1 : size;
    long count = 0;
    int column = 1;
    while (pos < size) {
        if (column >= 10 && column <= 73) {
            // A half pair at the end of the data reads as one digit.
            char pair[3] = {static_cast<char>(text[pos]),
                            pos + 1 < size ? static_cast<char>(text[pos + 1]) : '\0', '\0'};
            const long value = strtol(pair, nullptr, 16);
            if (out)
                out[count] = static_cast<unsigned char>(value & 0xFF);
            ++count;
            pos += 2;
            column += 2;
        } else {
            ++pos;
            if (pos < size && text[pos] == '\n') {
                ++pos;
                column = 1;
            } else {
                ++column;
            }
        }
    }
    return count;
}

bool accepted_after_flash(int result, const scsi_cmd_block *block)
{
    return result == 0 || unit_not_ready(block);
}

// A bus reset reaches every device on the host: never while one of them
// takes an image or writes its flash.
bool host_busy(const device_entry *list, const device_entry *entry)
{
    if (!entry->located)
        return true;
    for (const device_entry *e = list; e; e = e->next) {
        if (e != entry && (!e->located || e->address.host == entry->address.host) &&
            (e->state == DEV_DOWNLOADING || e->state == DEV_WRITING_FLASH))
            return true;
    }
    return false;
}

int second_test_unit_ready(int fd, scsi_cmd_block *block, int verbose)
{
    test_unit_ready(fd, block, verbose);
    return test_unit_ready(fd, block, verbose);
}

} // namespace

bool field_starts_with(const unsigned char *field, size_t width, const char *text)
{
    const size_t n = strlen(text);
    return n <= width && memcmp(field, text, n) == 0;
}

const int signal_list[] = {SIGINT, SIGQUIT, SIGTERM, SIGTSTP, 0};

void say(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char line[2048];
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fputs(line, stream);
    if (transcript)
        *transcript += line;
}

void engine_transcript(std::string *to)
{
    transcript = to;
}

void ignore_hangups(bool ignore)
{
    for (const int sig : hangup_signals)
        signal(sig, ignore ? SIG_IGN : SIG_DFL);
}

int recovery_period(const device_entry *entry, int flags)
{
    if (flags & OPT_DEBUG)
        return DEBUG_RECOVERY_SECONDS;
    const download_params *row = get_download_params(entry, "");
    if (row && row->recovery_time > 0)
        return row->recovery_time;
    return DEFAULT_RECOVERY_SECONDS;
}

double recovery_remaining(const device_entry *entry, int flags)
{
    // The wall clock may be set meanwhile; the recovery is not. Whole
    // seconds, as the time stamps count them.
    const double elapsed = floor(monotonic_seconds()) - floor(entry->recovery_start);
    return recovery_period(entry, flags) - elapsed;
}

int disable_interrupts(const int *list, int flags)
{
    for (const int *sig = list; *sig != 0; ++sig) {
        if (flags & OPT_DEBUG)
            fprintf(stderr, "Disabling signal %d...\n", *sig);
        if (signal(*sig, SIG_IGN) == SIG_ERR) {
            fprintf(stderr, "sigignore(%d) failed - %s\n", *sig, strerror(errno));
            return -1;
        }
    }
    return 0;
}

void enable_interrupts(const int *list, int flags)
{
    for (const int *sig = list; *sig != 0; ++sig) {
        if (flags & OPT_DEBUG)
            fprintf(stderr, "Enabling signal %d...\n", *sig);
        if (signal(*sig, SIG_DFL) == SIG_ERR)
            fprintf(stderr, "signal(%d) failed - %s\n", *sig, strerror(errno));
    }
}

int load_firmware_file(const char *path, firmware_image *image, int flags)
{
    const size_t name_len = strlen(path);
    if (name_len >= sizeof image->path) {
        fprintf(stderr, "firmware file name too long (%zu characters, at most 1023)\n", name_len);
        return -1;
    }
    if (flags)
        printf("Opening firmware file: %s\n", path);
    if (stat(path, &image->file_status) != 0) {
        fprintf(stderr, "firmware file stat failed: %s\n", strerror(errno));
        return -1;
    }
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "firmware file open failed: %s\n", strerror(errno));
        return -1;
    }
    const long size = image->file_status.st_size;
    if (flags)
        printf("File %s found, size %ld bytes\n", path, size);
    // No drive is ever to be told that an empty image is new firmware.
    if (size <= 0) {
        fprintf(stderr, "firmware file %s is empty\n", path);
        close(fd);
        return -1;
    }
    try {
        image->data.assign(static_cast<size_t>(size), 0);
        image->data.shrink_to_fit();
    } catch (const std::bad_alloc &) {
        fputs("Cannot allocate buffer for size ", stderr);
        fprintf(stderr, "%ld; error: %s\n", size, strerror(ENOMEM));
        close(fd);
        return -1;
    }
    memcpy(image->path, path, name_len + 1);
    errno = 0;
    const ssize_t got = read(fd, image->data.data(), static_cast<size_t>(size));
    if (got != size) {
        fprintf(stderr, "Read of firmware file failed %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    close(fd);
    image->converted = 0;
    image->sha256 = sha256_hex(image->data.data(), image->data.size());
    return 0;
}

bool is_fallback_row(const download_params *row)
{
    return strncmp("default", row->vendor, strlen(row->vendor)) == 0;
}

download_params *get_download_params(const device_entry *entry, const char *firmware_path)
{
    const unsigned char *inq = entry->inquiry_data;
    for (auto &row : params_array) {
        if (!field_starts_with(inq + 8, 8, row.vendor))
            continue;
        if (!field_starts_with(inq + 16, 16, row.product))
            continue;
        if (row.file_match[0] == '\0' || firmware_path[0] == '\0' ||
            strstr(firmware_path, row.file_match) != nullptr)
            return &row;
    }
    for (auto &row : params_array) {
        if (is_fallback_row(&row))
            return &row;
    }
    return nullptr;
}

void display_download_params()
{
    fputs("\n\n", stdout);
    fputs("Supplier    \tProduct ID\tMode\tControl\tCommands\t", stdout);
    fputs("Xfer Size\n", stdout);
    fputs("------------\t----------\t----\t-------\t--------\t", stdout);
    fputs("---------\n", stdout);
    for (const auto &row : params_array) {
        printf("%s      \t", row.vendor);
        if (row.product[0] == '\0')
            fputs("        ", stdout);
        printf("%s   \t", row.product);
        printf("  %d\t", row.wb_mode);
        printf("   %d\t", row.control);
        fputs(row.commands == 1 ? "Single  " : "Multiple", stdout);
        if (row.xfer_size != 0)
            printf("\t%8xh\n", static_cast<unsigned>(row.xfer_size));
        else
            fputs("\n", stdout);
    }
}

int eject_tape(const device_entry *entry, int fd, scsi_cmd_block *block, int flags,
               const engine_caller &caller)
{
    const int verbose = flags & OPT_VERBOSE;
    if (flags & OPT_DEBUG) {
        say(stdout, "If this weren't debug mode, I ");
        say(stdout, "would eject the tape cartridge\n");
        return 0;
    }
    if (flags)
        say(stdout, "Checking for loaded tape cartridge\n");
    bool unload_accepted = false;
    int stuck_passes = 0;
    int loading_tests = 0;
    for (;;) {
        test_unit_ready(fd, block, verbose);
        // A cartridge on its way in is not an empty drive.
        const bool loading = sense_is(block->result, 2, 0x04) && block->result.sense.ascq == 0x01;
        if (loading && ++loading_tests < BECOMING_READY_TESTS) {
            sleep(EJECT_SETTLE_SECONDS);
            continue;
        }
        if (!loading && unit_not_ready(block)) {
            sleep(EJECT_SETTLE_SECONDS);
            return 0;
        }
        // The last unload went through, yet the drive still holds a cartridge.
        const bool stuck = unload_accepted;
        say(stdout, "\nEjecting Tape out of the Tape Drive\n");
        if (load_unload(fd, block, 0, verbose) != 0) {
            say(stderr, "Eject failed: %s\n", strerror(errno));
            if (!caller.eject_by_hand(*entry))
                return -1;
            unload_accepted = false;
            stuck_passes = 0;
            continue;
        }
        unload_accepted = true;
        if (!stuck)
            continue;
        // A drive that keeps taking the unload without letting go of the
        // cartridge is given time, and after a while the operator's hand.
        if (++stuck_passes >= EJECT_PASSES_BEFORE_ASKING) {
            if (!caller.eject_by_hand(*entry))
                return -1;
            stuck_passes = 0;
        } else {
            sleep(EJECT_SETTLE_SECONDS);
        }
    }
}

int identify(const device_entry *entry, int fd, scsi_cmd_block *block, int verbose)
{
    if (inquiry(fd, block, verbose) != 0)
        return 0;
    const unsigned char *inq = block->inq_data;
    const unsigned char *listed = entry->inquiry_data;
    const bool same_names = memcmp(listed + 8, inq + 8, 24) == 0;
    if (same_names && memcmp(listed + 36, inq + 36, 12) == 0)
        return 1;
    // A serial page that did not come this time tells nothing.
    if (same_names && inq[36] == 0)
        return 0;
    say(stderr,
            "%s now answers as %s %s, serial number %s, not as the listed device; "
            "nothing more is sent to it\n",
            entry->path, inquiry_text(inq + 8, 8).c_str(), inquiry_text(inq + 16, 16).c_str(),
            inquiry_text(inq + 36, 12).c_str());
    return -1;
}

int claim_device(device_entry *entry, scsi_cmd_block *block, int flags, bool verify)
{
    if (entry->fd >= 0)
        return 0;
    // A node whose device, or whose generic node, is no longer the listed
    // one is not opened: the open alone would reach another device.
    scsi_address now;
    if (entry->located && !uscsi_host_locate(entry->path, &now))
        return -1;
    if (entry->located && (!same_address(now, entry->address) ||
                           strcmp(now.generic, entry->address.generic) != 0)) {
        errno = ENXIO;
        return -1;
    }
    const int fd = open(entry->path, open_mode(entry) | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (uscsi_host_hold(fd, entry->address.generic, true) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    entry->fd = fd;
    if (!verify)
        return 0;
    const int same = identify(entry, fd, block, flags & OPT_VERBOSE);
    if (same == 0) {
        release_device(entry);
        errno = EIO;
        return -1;
    }
    if (same < 0) {
        release_device(entry);
        entry->replaced = true;
        entry->state = DEV_UNKNOWN;
        return -2;
    }
    return 0;
}

int open_for_download(device_entry *entry, scsi_cmd_block *block, int flags,
                      const engine_caller &caller)
{
    const int claimed = claim_device(entry, block, flags, true);
    if (claimed == 0)
        return 0;
    if (claimed == -1) {
        say(stderr, "Unable to Open device <%s>: error: %s\n", entry->path, strerror(errno));
        say(stderr, "Download not performed\n");
        entry->state = DEV_UPDATE_FAILED;
        caller.refused(*entry);
    }
    return -1;
}

void release_device(device_entry *entry)
{
    if (entry->fd >= 0)
        uscsi_host_release(entry->fd);
    entry->fd = -1;
}

int unlock_toshiba(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
                   int flags)
{
    const int verbose = flags & OPT_VERBOSE;
    const long buffer_len = static_cast<long>(image->data.size());
    long image_len = image->file_status.st_size - 3;
    if (buffer_len >= UNLOCK_BUFFER_MIN && image->converted != 1)
        image_len = convert_hex(image->data.data(), image->file_status.st_size, nullptr);
    if (buffer_len < UNLOCK_BUFFER_MIN || image_len < UNLOCK_IMAGE_LEN) {
        say(stderr, "Firmware image for %s is too small for the drive unlock (%ld bytes)\n",
                entry->path, buffer_len < UNLOCK_BUFFER_MIN ? buffer_len : image_len);
        return -1;
    }
    unsigned char *data = image->data.data();
    if (image->converted != 1) {
        convert_hex(data, image->file_status.st_size, data);
        image->converted = 1;
        image->file_status.st_size = image_len + 3;
    }

    unsigned char request[DIAG_AREA_LEN] = {};
    unsigned char response[DIAG_AREA_LEN] = {};
    block->data_out = request;
    block->data_in = response;

    const int fd = entry->fd;
    auto fail = [&](const char *format) {
        say(stderr, format, entry->path);
        return -1;
    };
    // The code reads the answer up to its 70th byte: a shorter one is no answer.
    auto short_answer = [&] { return block->request.req_buflen - block->result.resid < 70; };
    const char unlock_failed[] = "Unable to Unlock device <%s>\n";

    const unsigned char first[] = {0x88, 0x00, 0x00, 0x06, 0x00, 0xD0, 0x40, 0xBF, 0x80, 0x00};
    memcpy(request, first, sizeof first);
    if (send_diagnostic(fd, block, 0, sizeof first, verbose) != 0 ||
        receive_diagnostic(fd, block, 0, 0, sizeof response, verbose) != 0 || short_answer())
        return fail(unlock_failed);
    memcpy(data + 0xBF80, response + 6, 50);
    memcpy(data + 0xBFBC, response + 66, 4);

    request[8] = 0xC0;
    if (send_diagnostic(fd, block, 0, get_be16(request + 2) + 4, verbose) != 0 ||
        receive_diagnostic(fd, block, 0, 0, sizeof response, verbose) != 0 || short_answer())
        return fail(unlock_failed);
    memcpy(data + 0xBFC0, response + 6, 64);

    uint32_t sum = 0;
    for (long i = 0; i < UNLOCK_IMAGE_LEN; ++i)
        sum += data[i];
    put_be16(data + 0xC000, sum & 0xFFFF);
    data[0xC002] = 'F';
    data[0xC003] = 'l';
    data[0xC004] = 0x00;

    if (start_stop_unit(fd, block, 2, verbose) != 0)
        return fail("Cannot eject Tray <%s>\n");

    const unsigned char third[] = {0x00, 0x04, 0x00, 0xF0, 0xFF, 0x00};
    memcpy(request + 2, third, sizeof third);
    if (send_diagnostic(fd, block, 0, 8, verbose) != 0)
        return fail(unlock_failed);
    return 0;
}

void download(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
              const download_params *row, int flags, const engine_caller &caller)
{
    const int verbose = flags & OPT_VERBOSE;
    const bool debug = (flags & OPT_DEBUG) != 0;
    const unsigned char type = entry->inquiry_data[0];
    const bool tape = type == TYPE_SEQUENTIAL;
    const long image_len = image->file_status.st_size;

    if (flags)
        say(stdout, "Opening Device: %s\n", entry->path);
    entry->state = DEV_UPDATE_FAILED;
    const int fd = entry->fd;

    int32_t xfer = row->xfer_size;
    if (xfer < 1 || xfer > PASS_THROUGH_MAX) {
        xfer = PASS_THROUGH_MAX;
        if (debug)
            say(stderr, "Setting transfer size to %d because of system ioctl interface limits\n",
                    xfer);
    }
    // Rounded down to whole 512-byte units; a limit below one unit is not
    // believed, the host then refuses the command itself.
    const long host_max = uscsi_host_max_transfer(fd) / 512 * 512;
    if (host_max > 0)
        lower_transfer(&xfer, host_max, debug, "system ioctl interface limits");

    int32_t max_block = 0;
    int32_t min_block = 1;
    if (tape) {
        block->data_in = entry->block_limits;
        if (read_block_limits(fd, block, verbose) != 0) {
            say(stderr, "Read Block Limits command failed\n");
            say(stderr, "Download not performed\n");
            refuse(entry, caller);
            return;
        }
        max_block = static_cast<int32_t>(get_be24(entry->block_limits + 1));
        min_block = static_cast<int32_t>(get_be16(entry->block_limits + 4));
        // A drive reporting no minimum takes any length.
        if (min_block == 0)
            min_block = 1;
    }

    if (host_release() <= OLD_HOST_RELEASE)
        lower_transfer(&xfer, OLD_HOST_MAX, debug, "ID_MAXPHYS");

    if (tape) {
        // A maximum of 0 means the drive states no maximum.
        const bool fixed = max_block != 0 && max_block == min_block;
        if (fixed)
            lower_transfer(&xfer, FIXED_RECORD_MAX, debug, "ST_MAXRECSIZE_FIXED");
        else if (row->xfer_size == 0)
            lower_transfer(&xfer, VARIABLE_RECORD_MAX, debug, "ST_MAXRECSIZE_VARIABLE_LIMIT");
        if (max_block != 0)
            lower_transfer(&xfer, max_block, debug, "tape max blocksize");
        if (image_len % min_block != 0) {
            say(stderr,
                    "\nFirmware size %ld is not evenly divisible by minimum block size %d.\n"
                    "Download not performed\n",
                    image_len, min_block);
            refuse(entry, caller);
            return;
        }
        const int32_t granularity =
            row->block_length != 0 ? static_cast<int32_t>(row->block_length) : min_block;
        if (xfer % granularity != 0) {
            xfer -= xfer % granularity;
            if (debug)
                say(stderr, "Setting transfer size to %d to be divisible by blocklength %d\n",
                        xfer, granularity);
        }
        if (xfer == 0) {
            say(stderr,
                    "\nTransfer size is below the block length %d of %s.\nDownload not performed\n",
                    granularity, entry->path);
            refuse(entry, caller);
            return;
        }
    }

    if (row->commands == 1 && image_len > xfer) {
        say(stderr,
                "\nFirmware size %ld is greater than maximum allowable\nlimit %d and the drive "
                "does not support download\nwith multiple Write Buffer commands.\n"
                "Download aborted.\n",
                image_len, xfer);
        refuse(entry, caller);
        return;
    }

    // The offset field holds 24 bits: a larger offset would silently wrap
    // and overwrite the start of the drive's buffer.
    if (row->use_offsets) {
        const long last_data_offset = image_len > 0 ? (image_len - 1) / xfer * xfer : 0;
        const long last_offset = row->final_save == 2 ? image_len : last_data_offset;
        if (last_offset > WB_OFFSET_MAX) {
            say(stderr,
                    "\nFirmware size %ld is too large for buffer offsets (at most 16777215).\n"
                    "Download not performed\n",
                    image_len);
            refuse(entry, caller);
            return;
        }
    }

    if (tape && eject_tape(entry, fd, block, flags, caller) != 0) {
        say(stderr, "The tape cartridge is still loaded in %s\nDownload not performed\n",
                entry->path);
        refuse(entry, caller);
        return;
    }
    // What the caller must do before a drive is written (a record of it) may
    // stop the download.
    entry->revision_before = inquiry_text(entry->inquiry_data + 32, 4);
    if (!caller.starting(*entry, *row)) {
        refuse(entry, caller);
        return;
    }
    if (disable_interrupts(signal_list, flags) != 0)
        return;

    entry->state = DEV_DOWNLOADING;
    entry->reset_sent = false;
    say(stdout, "\nDownloading %s... please wait.\n", entry->path);
    fflush(stderr);
    fflush(stdout);

    bool closing_pending = row->final_save == 2;
    long remaining = image_len;
    long offset = 0;
    int error = 0;
    if (remaining > 0 || closing_pending) {
        do {
            if (flags)
                say(stdout, "Downloading firmware of size: ");
            int32_t length;
            int control;
            int wb_mode;
            if (remaining > xfer) {
                length = xfer;
                control = row->control;
                wb_mode = row->wb_mode;
                if (flags)
                    say(stdout, "%d (partial)\n", xfer);
            } else {
                length = static_cast<int32_t>(remaining > 0 ? remaining : 0);
                control = 0;
                wb_mode = row->wb_mode;
                if (row->final_save == 1 || remaining <= 0)
                    wb_mode |= 5;
                if (remaining <= 0)
                    closing_pending = false;
                if (flags)
                    say(stdout, "%ld\n", remaining);
            }
            const uint32_t buffer_offset = row->use_offsets ? static_cast<uint32_t>(offset) : 0;
            unsigned char *start = image->data.data() + offset;
            if (debug) {
                say(stdout, "If this weren't debug mode, I would do \n\t'write_buffer(%d, 0x%lX, %d, %d, "
                       "%d, %d, %d, %d)'\n",
                       fd, reinterpret_cast<unsigned long>(start), length, buffer_offset, control,
                       wb_mode, row->buffer_id, verbose);
            } else {
                block->data_out = start;
                const int result = write_buffer(fd, block, static_cast<uint32_t>(length),
                                                buffer_offset, control, wb_mode, row->buffer_id,
                                                verbose);
                const bool activating = remaining - length <= 0 && !closing_pending;
                if (result != 0 && activating && uncertain(block->result)) {
                    // The drive may be activating the image: it is left alone
                    // for its recovery period like a finished transfer.
                    say(stderr,
                            "The last Write Buffer command to %s ended without an answer; the "
                            "drive may be activating the image\n",
                            entry->path);
                    break;
                }
                // A piece that moved fewer bytes than it carries is not in the drive.
                if (result != 0 || block->result.resid != 0) {
                    say(stderr, "Write Buffer Command Failed; Aborting Download\n");
                    if (sense_is(block->result, 5, 0x26))
                        say(stderr, "Firmware image file appears to be invalid or corrupted\n");
                    error = -1;
                    caller.refused(*entry);
                    break;
                }
            }
            remaining -= length;
            offset += length;
        } while (remaining > 0 || closing_pending);
    }

    if (error) {
        entry->state = DEV_UPDATE_FAILED;
        caller.settled(*entry);
    } else {
        entry->state = DEV_WRITING_FLASH;
        timestamp(TS_DATE | TS_TIME, entry->download_time);
        entry->recovery_start = monotonic_seconds();
    }
    fflush(stderr);
    fflush(stdout);
}

void check_n_download(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
                      int flags, const engine_caller &caller)
{
    const download_params *row = get_download_params(entry, image->path);
    if (!row) {
        say(stdout, "Could not determine download parameters for %s\n\n", entry->path);
        release_device(entry);
        entry->state = DEV_AVAILABLE;
        return;
    }
    if (is_fallback_row(row) && !caller.use_fallback(*entry, *row)) {
        release_device(entry);
        entry->state = DEV_AVAILABLE;
        return;
    }
    // A drive kept open after a failed transfer is still ours: a second open
    // would leak the first descriptor, and st refuses it with EBUSY.
    if (open_for_download(entry, block, flags, caller) != 0)
        return;
    if (memcmp(entry->inquiry_data + 8, "TOSHIBA", 7) == 0 &&
        unlock_toshiba(entry, image, block, flags) != 0) {
        say(stdout, "Could not unlock %s\n\n", entry->path);
        entry->state = DEV_UPDATE_FAILED;
        return;
    }
    download(entry, image, block, row, flags, caller);
}

void post_download_operations(scsi_cmd_block *block, device_entry *entry, int flags,
                              const device_entry *list, const engine_caller &caller)
{
    const int verbose = flags & OPT_VERBOSE;
    if (entry->replaced)
        return;
    // A device that did not answer after its recovery has no descriptor:
    // it is opened again for the check only.
    if (claim_device(entry, block, flags, false) != 0) {
        caller.settled(*entry);
        return;
    }
    const int fd = entry->fd;

    bool reachable = true;
    // One reset for a download, never with -d, which sends nothing that
    // changes a drive; later passes only test and identify the device.
    if (!accepted_after_flash(second_test_unit_ready(fd, block, verbose), block)) {
        reachable = false;
        const bool reset = !(flags & OPT_DEBUG) && !entry->reset_sent;
        if (reset) {
            entry->reset_sent = true;
            if (flags)
                say(stdout, "Sending scsi-reset to %s\n", entry->path);
            if (scsi_reset(fd, block, USCSI_RESET, verbose) != 0 && !host_busy(list, entry))
                scsi_reset(fd, block, USCSI_RESET_ALL, verbose);
        }
        for (int waits = 0; waits < READY_POLL_LIMIT && !reachable && reset; ++waits) {
            say(stdout, "Waiting for %s to become ready (%d seconds)...\n", entry->path,
                READY_POLL_SECONDS);
            fflush(stdout);
            sleep(READY_POLL_SECONDS);
            reachable = accepted_after_flash(second_test_unit_ready(fd, block, verbose), block);
        }
    }

    const int same = reachable ? identify(entry, fd, block, verbose) : 0;
    if (same > 0) {
        memcpy(entry->inquiry_data, block->inq_data, INQ_LEN);
        entry->state += 1;
    } else {
        // Another device behind the node is never addressed again.
        entry->replaced = same < 0;
        memcpy(entry->inquiry_data + 32, "----", 4);
        entry->state = DEV_UNKNOWN;
    }
    release_device(entry);
    caller.settled(*entry);
}

double update_device_status(device_entry *list, scsi_cmd_block *block, int flags,
                            const engine_caller &caller)
{
    double largest = 0.0;
    for (device_entry *e = list; e; e = e->next) {
        if (e->state == DEV_WRITING_FLASH) {
            const double remaining = recovery_remaining(e, flags);
            if (remaining <= 0)
                post_download_operations(block, e, flags, list, caller);
            else if (remaining > largest)
                largest = remaining;
        } else if (e->state == DEV_UNKNOWN) {
            post_download_operations(block, e, flags, list, caller);
        }
    }
    return largest;
}
