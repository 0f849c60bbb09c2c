// Firmware download: the image file, the table of download methods, the
// download engine, tape eject and the drive unlock sequence.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brisk.h"
#include "uscsi_bytes.h"
#include "uscsi_host.h"
#include "uscsi_sbc.h"
#include "uscsi_spc.h"
#include "uscsi_ssc.h"

// ---- firmware image file --------------------------------------------------

int load_firmware_file(const char *path, firmware_image *image, int flags)
{
    const size_t name_len = strlen(path);
    if (name_len > sizeof image->path - 1) {
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
    // No device is ever told that an empty image is new firmware.
    if (size <= 0) {
        fprintf(stderr, "firmware file %s is empty\n", path);
        close(fd);
        return -1;
    }
    try {
        image->data.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc &) {
        fputs("Cannot allocate buffer for size ", stderr);
        fprintf(stderr, "%ld; error: %s\n", size, strerror(ENOMEM));
        close(fd);
        return -1;
    }
    memcpy(image->path, path, name_len + 1);
    // One read of the whole size, as a regular file gives it.
    const ssize_t got = read(fd, image->data.data(), static_cast<size_t>(size));
    if (got != size) {
        fprintf(stderr, "Read of firmware file failed %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    close(fd);
    image->converted = 0;
    return 0;
}

// ---- download parameter table --------------------------------------------

download_params params_array[PARAMS_ROWS] = {
    {"ADIC", "FastStor 2", "S_R_", 30, 5, 0, 1, 0x81, 0, 0, 0, 0},
    {"ADIC", "FastStor 2", "", 30, 5, 0, 1, 0x82, 0, 0, 0, 0},
    {"ADIC", "FastStor", "", 240, 5, 0, 0, 0x00, 0, 0, 0, 0},
    {"ARCHIVE", "", "", 240, 5, 0, 1, 0x00, 1, 0, 0, 0},
    {"EXABYTE", "", "", 240, 5, 1, 0, 0x00, 1, 0, 0, 0},
    {"HP", "ThinStor", "S_R_", 30, 5, 0, 1, 0x81, 0, 0, 0, 0},
    {"HP", "ThinStor", "", 30, 5, 0, 1, 0x82, 0, 0, 0, 0},
    {"HP", "Ultrium", "", 120, 4, 0, 0, 0x00, 0, 2, 65536, 0},
    {"HP", "", "", 240, 4, 0, 0, 0x01, 0, 0, 32768, 0},
    {"IBM", "", "", 120, 4, 0, 0, 0x00, 1, 0, 0, 4},
    {"QUANTUM", "DLT", "", 240, 5, 0, 0, 0x00, 1, 0, 0, 8192},
    {"QUANTUM", "", "", 240, 4, 0, 0, 0x00, 1, 1, 0, 8192},
    {"SEAGATE", "ULTRIUM", "", 240, 6, 0, 0, 0x00, 1, 2, 0, 0},
    {"SEAGATE", "", "", 240, 5, 0, 0, 0x00, 1, 0, 8192, 0},
    {"STK", "", "", 240, 6, 0, 0, 0x00, 0, 1, 0, 4},
    {"TANDBERG", "", "", 240, 7, 0, 0, 0x00, 1, 0, 0, 0},
    {"TOSHIBA", "", "", 240, 5, 0, 0, 0x00, 1, 0, 0, 0},
    {"default", "", "", 240, 5, 0, 0, 0x00, 1, 0, 0, 4},
};

namespace {

// The INQUIRY field begins with the row's text (its blank padding plays no part).
bool field_matches(const unsigned char *field, size_t width, const char *text)
{
    const size_t n = strlen(text);
    return n <= width && memcmp(field, text, n) == 0;
}

} // namespace

bool is_fallback_row(const download_params *row)
{
    return strncmp("default", row->vendor, strlen(row->vendor)) == 0;
}

download_params *get_download_params(const device_entry *entry, const char *firmware_path)
{
    const unsigned char *inq = entry->inquiry_data;
    for (auto &row : params_array) {
        if (!field_matches(inq + 8, 8, row.vendor) || !field_matches(inq + 16, 16, row.product))
            continue;
        if (row.file_match[0] == '\0' || firmware_path[0] == '\0' ||
            strstr(firmware_path, row.file_match))
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
    fflush(stdout);
}

// ---- tape eject -----------------------------------------------------------

namespace {

// Unloads accepted while the drive still reports a cartridge, before the
// operator is asked to take it out by hand.
constexpr int EJECT_PASSES = 12;
constexpr unsigned EJECT_SETTLE_SECONDS = 5;

void ask_manual_eject()
{
    fputs("Please eject the tape manually ", stdout);
    fputs("to proceed\n", stdout);
    ask_for_key();
}

} // namespace

void eject_tape(int fd, scsi_cmd_block *block, int flags)
{
    if (flags & OPT_DEBUG) {
        fputs("If this weren't debug mode, I ", stdout);
        fputs("would eject the tape cartridge\n", stdout);
        return;
    }
    const int verbose = flags & OPT_VERBOSE;
    if (flags)
        fputs("Checking for loaded tape cartridge\n", stdout);
    int accepted_passes = 0;
    bool unload_accepted = false;
    for (;;) {
        const int result = test_unit_ready(fd, block, verbose);
        if (unit_not_ready(result, block)) {
            sleep(EJECT_SETTLE_SECONDS);
            return;
        }
        if (unload_accepted) {
            // The drive took the unload but still reports a cartridge.
            sleep(EJECT_SETTLE_SECONDS);
            if (++accepted_passes == EJECT_PASSES) {
                accepted_passes = 0;
                ask_manual_eject();
            }
        }
        fputs("\nEjecting Tape out of the Tape Drive\n", stdout);
        fflush(stdout);
        if (load_unload(fd, block, 0, verbose) != 0) {
            unload_accepted = false;
            perror("Eject failed");
            ask_manual_eject();
        } else {
            unload_accepted = true;
        }
    }
}

// ---- drive unlock -----------------------------------------------------------

namespace {

constexpr size_t UNLOCK_IMAGE_MIN = 0xC005; // the trailer ends at 0xC004
constexpr long UNLOCK_CONVERTED_MIN = 0xC000;
constexpr size_t DIAG_AREA = 76;

// A pair read the way strtol with base 16 reads it: optional blanks and
// sign, an optional 0x, then the hex digits of the two characters.
long read_pair(const unsigned char *p, size_t avail)
{
    char text[3] = {};
    for (size_t i = 0; i < 2 && i < avail; ++i)
        text[i] = static_cast<char>(p[i]);
    return strtol(text, nullptr, 16);
}

// Turns the hexadecimal text into bytes in place; returns the byte count.
long convert_hex_image(firmware_image *image)
{
    unsigned char *data = image->data.data();
    const size_t size = static_cast<size_t>(image->file_status.st_size);
    const unsigned char *nl = static_cast<const unsigned char *>(memchr(data, '\n', size));
    // Without a newline there is no line after the header: nothing converts.
    if (!nl)
        return 0;
    size_t pos = static_cast<size_t>(nl - data) + 1;
    size_t out = 0;
    long count = 0;
    int column = 1;
    while (pos < size) {
        if (column >= 10 && column <= 73) {
            const long v = read_pair(data + pos, size - pos);
            // The output never overtakes the reading position.
            data[out++] = static_cast<unsigned char>(v & 0xFF);
            ++count;
            pos += 2;
            column += 2;
        } else {
            ++pos;
            if (pos < size && data[pos] == '\n') {
                ++pos;
                column = 1;
            } else {
                ++column;
            }
        }
    }
    return count;
}

int diag_exchange(int fd, scsi_cmd_block *block, uint32_t length, int verbose)
{
    if (send_diagnostic(fd, block, 0, length, verbose) != 0)
        return -1;
    return receive_diagnostic(fd, block, 0, 0, DIAG_AREA, verbose) == 0 ? 0 : -1;
}

} // namespace

int unlock_toshiba(device_entry *entry, firmware_image *image, scsi_cmd_block *block, int flags)
{
    const int verbose = flags & OPT_VERBOSE;
    if (image->data.size() < UNLOCK_IMAGE_MIN) {
        fprintf(stderr, "Firmware image for %s is too small for the drive unlock (%ld bytes)\n",
                entry->path, static_cast<long>(image->data.size()));
        return -1;
    }
    if (image->converted != 1) {
        const long count = convert_hex_image(image);
        image->converted = 1;
        image->file_status.st_size = count + 3;
    }
    if (image->file_status.st_size - 3 < UNLOCK_CONVERTED_MIN) {
        fprintf(stderr, "Firmware image for %s is too small for the drive unlock (%ld bytes)\n",
                entry->path, static_cast<long>(image->file_status.st_size - 3));
        return -1;
    }

    unsigned char request[DIAG_AREA] = {};
    unsigned char response[DIAG_AREA] = {};
    block->data_out = request;
    block->data_in = response;
    unsigned char *img = image->data.data();

    const int fd = open(entry->path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "Unable to Unlock device <%s>: error: %s\n", entry->path, strerror(errno));
        return -1;
    }
    auto fail = [&]() {
        fprintf(stderr, "Unable to Unlock device <%s>\n", entry->path);
        close(fd);
        return -1;
    };

    const unsigned char first[10] = {0x88, 0x00, 0x00, 0x06, 0x00, 0xD0, 0x40, 0xBF, 0x80, 0x00};
    memcpy(request, first, sizeof first);
    if (diag_exchange(fd, block, sizeof first, verbose) != 0)
        return fail();
    memcpy(img + 0xBF80, response + 6, 50);
    memcpy(img + 0xBFBC, response + 66, 4);

    request[8] = 0xC0;
    if (diag_exchange(fd, block, get_be16(request + 2) + 4, verbose) != 0)
        return fail();
    memcpy(img + 0xBFC0, response + 6, 64);

    uint32_t sum = 0;
    for (size_t i = 0; i < 0xC000; ++i)
        sum += img[i];
    put_be16(img + 0xC000, sum & 0xFFFF);
    img[0xC002] = 'F';
    img[0xC003] = 'l';
    img[0xC004] = 0x00;

    if (start_stop_unit(fd, block, 2, verbose) != 0) {
        fprintf(stderr, "Cannot eject Tray <%s>\n", entry->path);
        close(fd);
        return -1;
    }

    const unsigned char third[6] = {0x00, 0x04, 0x00, 0xF0, 0xFF, 0x00};
    memcpy(request + 2, third, sizeof third);
    if (send_diagnostic(fd, block, 0, 8, verbose) != 0)
        return fail();
    close(fd);
    return 0;
}

// ---- download engine ------------------------------------------------------

namespace {

constexpr int32_t MAX_TRANSFER = 524288;
constexpr int32_t ID_MAXPHYS = 64512;
constexpr int32_t ST_MAXRECSIZE_FIXED = 64512;
constexpr int32_t ST_MAXRECSIZE_VARIABLE = 65534;

bool is_tape(const device_entry *e)
{
    return e->inquiry_data[0] == 0x01;
}

bool is_changer(const device_entry *e)
{
    return e->inquiry_data[0] == 0x08;
}

// A refusal before anything was sent: the device is closed and the
// operator pauses over the message.
void refuse(device_entry *entry)
{
    close(entry->fd);
    entry->fd = -1;
    ask_for_key();
}

} // namespace

void download(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
              const download_params *row, int flags)
{
    const int verbose = flags & OPT_VERBOSE;
    const bool debug = (flags & OPT_DEBUG) != 0;
    const bool tape = is_tape(entry);
    const long image_len = image->file_status.st_size;

    if (flags)
        printf("Opening Device: %s\n", entry->path);
    entry->state = DEV_UPDATE_FAILED;
    entry->fd = open(entry->path, ((tape || is_changer(entry)) ? O_RDWR : O_RDONLY) | O_NONBLOCK);
    if (entry->fd < 0) {
        fprintf(stderr, "Unable to Open device <%s>: error: %s\n", entry->path, strerror(errno));
        fputs("Download not performed\n", stderr);
        ask_for_key();
        return;
    }

    int32_t xfer = row->xfer_size;
    if (xfer < 1 || xfer > MAX_TRANSFER) {
        xfer = MAX_TRANSFER;
        if (debug)
            fprintf(stderr, "Setting transfer size to %d because of system ioctl interface limits\n",
                    xfer);
    }
    // The host's queue may take less than the pass-through interface.
    const long host_max = uscsi_host_max_transfer(entry->fd) / 512 * 512;
    if (host_max > 0 && xfer > host_max) {
        xfer = static_cast<int32_t>(host_max);
        if (debug)
            fprintf(stderr, "Setting transfer size to %d because of system ioctl interface limits\n",
                    xfer);
    }

    uint32_t max_block = 0;
    uint32_t min_block = 1;
    if (tape) {
        block->data_in = entry->block_limits;
        if (read_block_limits(entry->fd, block, verbose) != 0) {
            fputs("Read Block Limits command failed\n", stderr);
            fputs("Download not performed\n", stderr);
            refuse(entry);
            return;
        }
        max_block = get_be24(entry->block_limits + 1);
        min_block = get_be16(entry->block_limits + 4);
        // A drive that reports 0 sets no limit there.
        if (min_block == 0)
            min_block = 1;
    }

    struct utsname host;
    if (uname(&host) == 0 && atof(host.release) <= 5.6 && xfer > ID_MAXPHYS) {
        xfer = ID_MAXPHYS;
        if (debug)
            fprintf(stderr, "Setting transfer size to %d because of ID_MAXPHYS\n", xfer);
    }

    if (tape) {
        if (max_block == min_block) {
            if (xfer > ST_MAXRECSIZE_FIXED) {
                xfer = ST_MAXRECSIZE_FIXED;
                if (debug)
                    fprintf(stderr, "Setting transfer size to %d because of ST_MAXRECSIZE_FIXED\n",
                            xfer);
            }
        } else if (row->xfer_size == 0 && xfer > ST_MAXRECSIZE_VARIABLE) {
            xfer = ST_MAXRECSIZE_VARIABLE;
            if (debug)
                fprintf(stderr,
                        "Setting transfer size to %d because of ST_MAXRECSIZE_VARIABLE_LIMIT\n",
                        xfer);
        }
        if (max_block != 0 && static_cast<uint32_t>(xfer) > max_block) {
            xfer = static_cast<int32_t>(max_block);
            if (debug)
                fprintf(stderr, "Setting transfer size to %d because of tape max blocksize\n", xfer);
        }
        if (image_len % min_block != 0) {
            fprintf(stderr,
                    "\nFirmware size %ld is not evenly divisible by minimum block size %d.\n"
                    "Download not performed\n",
                    image_len, static_cast<int>(min_block));
            refuse(entry);
            return;
        }
        const uint32_t granularity = row->block_length ? row->block_length : min_block;
        if (static_cast<uint32_t>(xfer) % granularity != 0) {
            xfer -= static_cast<int32_t>(static_cast<uint32_t>(xfer) % granularity);
            if (debug)
                fprintf(stderr, "Setting transfer size to %d to be divisible by blocklength %d\n",
                        xfer, static_cast<int>(granularity));
        }
        if (xfer <= 0) {
            fprintf(stderr,
                    "\nTransfer size is below the block length %d of %s.\nDownload not performed\n",
                    static_cast<int>(granularity), entry->path);
            refuse(entry);
            return;
        }
    }

    if (row->commands == 1 && image_len > xfer) {
        fprintf(stderr,
                "\nFirmware size %d is greater than maximum allowable\nlimit %d and the drive "
                "does not support download\nwith multiple Write Buffer commands.\nDownload "
                "aborted.\n",
                static_cast<int>(image_len), xfer);
        refuse(entry);
        return;
    }

    // The buffer offset field holds 24 bits: a larger offset would wrap and
    // place data at the wrong position in the drive.
    if (row->use_offsets && image_len > 0) {
        const long last_offset = (image_len - 1) / xfer * xfer;
        const long highest = row->final_save == 2 ? image_len : last_offset;
        if (highest > WB_OFFSET_MAX) {
            fprintf(stderr,
                    "\nFirmware size %ld is too large for buffer offsets (at most 16777215).\n"
                    "Download not performed\n",
                    image_len);
            refuse(entry);
            return;
        }
    }

    if (tape)
        eject_tape(entry->fd, block, flags);
    if (disable_interrupts(signal_list, flags) != 0)
        return;

    entry->state = DEV_DOWNLOADING;
    printf("\nDownloading %s... please wait.\n", entry->path);
    fflush(stderr);
    fflush(stdout);

    bool closing_pending = row->final_save == 2;
    long remaining = image_len;
    long offset = 0;
    bool failed = false;
    if (remaining > 0 || closing_pending) {
        do {
            if (flags)
                fputs("Downloading firmware of size: ", stdout);
            uint32_t length;
            int control;
            int mode;
            if (remaining > xfer) {
                length = static_cast<uint32_t>(xfer);
                mode = row->wb_mode;
                control = row->control;
                if (flags)
                    printf("%d (partial)\n", xfer);
            } else {
                length = static_cast<uint32_t>(remaining > 0 ? remaining : 0);
                control = 0;
                mode = row->wb_mode;
                if (row->final_save == 1 || remaining <= 0)
                    mode |= 5;
                if (remaining <= 0)
                    closing_pending = false;
                if (flags)
                    printf("%d\n", static_cast<int>(remaining));
            }
            const uint32_t buffer_offset = row->use_offsets ? static_cast<uint32_t>(offset) : 0;
            unsigned char *at = image->data.data() + offset;
            if (debug) {
                printf("If this weren't debug mode, I would do \n\t'write_buffer(%d, 0x%lX, %d, %d, "
                       "%d, %d, %d, %d)'\n",
                       entry->fd, reinterpret_cast<unsigned long>(at), static_cast<int>(length),
                       static_cast<int>(buffer_offset), control, mode, row->buffer_id, verbose);
            } else {
                block->data_out = at;
                if (write_buffer(entry->fd, block, length, buffer_offset, control, mode,
                                 row->buffer_id, verbose) != 0) {
                    fputs("Write Buffer Command Failed; Aborting Download\n", stderr);
                    const sense_info s = decode_sense(block->sense, SENSE_LEN);
                    if (s.key == 5 && s.asc == 0x26)
                        fputs("Firmware image file appears to be invalid or corrupted\n", stderr);
                    failed = true;
                    ask_for_key();
                    break;
                }
            }
            remaining -= length;
            offset += length;
        } while (remaining > 0 || closing_pending);
    }

    if (failed) {
        entry->state = DEV_UPDATE_FAILED;
    } else {
        entry->state = DEV_WRITING_FLASH;
        timestamp(TS_DATE | TS_TIME, entry->download_time);
    }
    fflush(stderr);
    fflush(stdout);
}

void check_n_download(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
                      int flags)
{
    const download_params *row = get_download_params(entry, image->path);
    if (!row) {
        printf("Could not determine download parameters for %s\n\n", entry->path);
        entry->state = DEV_AVAILABLE;
        return;
    }
    if (is_fallback_row(row)) {
        printf("\nCannot determine firmware Download Mode for %s.\nDo you want to try default "
               "Download Mode (%d) using\nmultiple Write Buffer commands ",
               entry->path, 5);
        fputs(row->use_offsets == 1 ? "with buffer offsets [N]? " : "and no buffer offsets [N]? ",
              stdout);
        flush_for_prompt();
        char answer[512];
        if (!read_answer(answer) || !answer_is_yes(answer)) {
            entry->state = DEV_AVAILABLE;
            return;
        }
    }
    if (memcmp(entry->inquiry_data + 8, "TOSHIBA", 7) == 0) {
        if (unlock_toshiba(entry, image, block, flags) != 0) {
            printf("Could not unlock %s\n\n", entry->path);
            entry->state = DEV_UPDATE_FAILED;
            return;
        }
    }
    download(entry, image, block, row, flags);
}
