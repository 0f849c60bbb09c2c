// Operator front end: command line, the selection and download loop,
// recovery tracking and signal masking.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "brisk.h"
#include "uscsi_spc.h"

const int signal_list[] = {SIGINT, SIGQUIT, SIGTERM, SIGTSTP, 0};
// A terminal or pipe that goes away must not end a run that has drives to
// see through: ignored from the confirmation on, without a notice.
const int hangup_signals[] = {SIGHUP, SIGPIPE};

namespace {

// Waits between readiness checks after a reset, and how many of them a
// device gets before it is given up as unreachable.
constexpr int READY_POLL_SECONDS = 15;
constexpr int READY_POLL_LIMIT = 8;
constexpr int DEBUG_RECOVERY_SECONDS = 15;
constexpr int DEFAULT_RECOVERY_SECONDS = 240;

[[noreturn]] void out_of_memory()
{
    fputs("Out of memory\n", stderr);
    _exit(255);
}

void print_usage(const char *argv0, int settled)
{
    fprintf(stderr, "Usage: %s [ filename ] ", argv0);
    if (settled == 0)
        fputs("[ -o | -t ] ", stderr);
    fputs("[ -v ]\n", stderr);
    fputs("\tfilename\tfirmware/microcode filename\n", stderr);
    if (settled == 0) {
        fputs("\t'-o'\t\toptical devices\n", stderr);
        fputs("\t'-t'\t\ttape devices\n", stderr);
    }
}

const char optical_refusal[] =
    "\nCannot download firmware to Optical devices while vold is running.  Run\n"
    "\t`/etc/rc2.d/S92volmgt stop`\nand then execute this utility again.  Remember to run\n"
    "\t`/etc/rc2.d/S92volmgt start`\nafter completing the download.\n\n";

const char recovery_warning[] =
    "\nOne or more devices has not yet completed flash update and/or download\n"
    "recovery time.  Devices must not be utilized until after this recovery\n"
    "period has expired, or permanent damage may result.\n\n";

bool selectable(const device_entry *e)
{
    return !e->replaced &&
           (e->state == DEV_UNKNOWN || e->state == DEV_AVAILABLE || e->state == DEV_UPDATE_FAILED);
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

void ignore_hangups(bool ignore)
{
    for (const int sig : hangup_signals)
        signal(sig, ignore ? SIG_IGN : SIG_DFL);
}

int second_test_unit_ready(int fd, scsi_cmd_block *block, int verbose)
{
    test_unit_ready(fd, block, verbose);
    return test_unit_ready(fd, block, verbose);
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

void print_backspaces(size_t n)
{
    for (size_t i = 0; i < n; ++i)
        putchar('\b');
}

} // namespace

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

void post_download_operations(scsi_cmd_block *block, device_entry *entry, int flags,
                              const device_entry *list)
{
    const int verbose = flags & OPT_VERBOSE;
    if (entry->replaced)
        return;
    // A device that did not answer after its recovery has no descriptor:
    // it is opened again for the check only.
    if (claim_device(entry, block, flags, false) != 0)
        return;
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
                printf("Sending scsi-reset to %s\n", entry->path);
            if (scsi_reset(fd, block, USCSI_RESET, verbose) != 0 && !host_busy(list, entry))
                scsi_reset(fd, block, USCSI_RESET_ALL, verbose);
        }
        for (int waits = 0; waits < READY_POLL_LIMIT && !reachable && reset; ++waits) {
            printf("Waiting for %s to become ready (%d seconds)...\n", entry->path,
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
}

double update_device_status(device_entry *list, scsi_cmd_block *block, int flags)
{
    double largest = 0.0;
    for (device_entry *e = list; e; e = e->next) {
        if (e->state == DEV_WRITING_FLASH) {
            // The wall clock may be set meanwhile; the recovery is not.
            // Whole seconds, as the time stamps count them.
            const double elapsed = floor(monotonic_seconds()) - floor(e->recovery_start);
            const double remaining = recovery_period(e, flags) - elapsed;
            if (remaining <= 0)
                post_download_operations(block, e, flags, list);
            else if (remaining > largest)
                largest = remaining;
        } else if (e->state == DEV_UNKNOWN) {
            post_download_operations(block, e, flags, list);
        }
    }
    return largest;
}

int build_select_list(device_entry *list, int count, int *default_selection)
{
    char line[512];
    flush_for_prompt();
    // End of input reads as 0: the selection loop ends.
    if (!read_answer(line))
        return 0;

    long range_start = 0;
    long last = 0;
    int selected = 0;
    int busy = 0;
    const char *cursor = line;
    do {
        const char c = *cursor;
        if (c == ' ') {
            ++cursor;
        } else if (c == ',') {
            ++cursor;
            range_start = 0;
        } else if (c == '-') {
            range_start = last;
            last = last + 1;
            ++cursor;
        } else {
            long number = 0;
            if (c == '\n') {
                number = *default_selection;
            } else if (isdigit(static_cast<unsigned char>(c))) {
                char *end = nullptr;
                number = strtol(cursor, &end, 10);
                cursor = end;
            }
            if (number == 0)
                break;
            // Clamped so that the default and the range arithmetic stay in range.
            if (number > INT_MAX - 1)
                number = INT_MAX - 1;
            last = number;
            if (number < 0 || number > count || number < range_start) {
                printf("\nInvalid Selection: %d", static_cast<int>(number));
                ask_for_key();
            }
            *default_selection = static_cast<int>(number);
            if (range_start == 0)
                range_start = number;
            // Positions past the end of the list name no record.
            device_entry *e = list;
            for (long k = 1; e && k < range_start; ++k)
                e = e->next;
            for (long k = range_start; e && k <= number; ++k, e = e->next) {
                if (selectable(e)) {
                    e->state = DEV_SELECTED;
                    ++selected;
                } else {
                    ++busy;
                }
            }
        }
    } while (*cursor != '\n');
    return selected > 0 ? selected : -busy;
}

void select_n_download(device_entry *list, firmware_image *image,
                       scsi_cmd_block *block, int flags)
{
    int default_selection = 0;
    bool confirmed = false;
    char answer[512];
    int n = 0;
    do {
        const int count = display_all_devices_info(list, 1);
        const long next = static_cast<long>(default_selection) + 1;
        default_selection = (next > count || next < 0) ? 0 : static_cast<int>(next);
        printf("\nSelect Device(s) (ex: 1,3-4) or 0 to quit) [%d]: ", default_selection);
        n = build_select_list(list, count, &default_selection);
        if (n > 0) {
            fputs("\n", stdout);
            for (device_entry *e = list; e; e = e->next) {
                if (e->state == DEV_SELECTED)
                    print_scsi_info(e);
            }
            fputs("\nDo you want to download firmware ", stdout);
            fputs(n == 1 ? "to this device [N]? " : "to these devices [N]? ", stdout);
            flush_for_prompt();
            // End of input declines.
            const bool yes = read_answer(answer) && answer_is_yes(answer);
            if (yes) {
                confirmed = true;
                ignore_hangups(true);
                // Held from now on, so that no other run addresses them.
                for (device_entry *e = list; e; e = e->next) {
                    if (e->state == DEV_SELECTED)
                        open_for_download(e, block, flags);
                }
            }
            for (device_entry *e = list; e; e = e->next) {
                if (e->state != DEV_SELECTED)
                    continue;
                if (yes) {
                    e->state = DEV_DOWNLOADING;
                    update_device_status(list, block, flags);
                    display_all_devices_info(list, 0);
                    check_n_download(e, image, block, flags);
                } else {
                    e->state = DEV_AVAILABLE;
                }
            }
        }
        update_device_status(list, block, flags);
    } while (n != 0);

    double remaining = update_device_status(list, block, flags);
    if (remaining > 0) {
        fputs(recovery_warning, stdout);
        std::string shown = sprintf_time(remaining);
        fputs("This program will release all devices and terminate in\n", stdout);
        printf("\t%s... ", shown.c_str());
        fflush(stdout);
        while (remaining > 0) {
            sleep(static_cast<unsigned>(remaining > 3 ? 3 : remaining));
            print_backspaces(shown.size() + 5);
            remaining = update_device_status(list, block, flags);
            std::string next = sprintf_time(remaining);
            printf("\t%s... ", next.c_str());
            if (next.size() < shown.size()) {
                const size_t d = shown.size() - next.size();
                for (size_t i = 0; i < d; ++i)
                    putchar(' ');
                print_backspaces(d);
            }
            shown = std::move(next);
            fflush(stdout);
        }
    }
    if (confirmed) {
        display_all_devices_info(list, 0);
        enable_interrupts(signal_list, flags);
        ignore_hangups(false);
    }
    fputs("\n", stdout);
    fflush(stdout);
}

int brisk_main(int argc, char **argv)
{
    std::set_new_handler(out_of_memory);
    const char *argv0 = (argc > 0 && argv[0]) ? argv[0] : "";

    if (geteuid() != 0) {
        fprintf(stderr, "%s can only be executed as root\n", argv0);
        return -1;
    }

    int options = 0;
    int devclass = 0;
    int settled = 0;
    long xfer_size = 0;
    const char *firmware_name = nullptr;
    bool usage_error = false;
    static firmware_image image;
    static scsi_cmd_block block;

    std::vector<bool> consumed(static_cast<size_t>(argc > 0 ? argc : 0), false);
    for (int i = 1; i < argc; ++i) {
        if (consumed[i])
            continue;
        const char *arg = argv[i];
        if (arg[0] != '-') {
            if (load_firmware_file(arg, &image, options) != 0)
                usage_error = true;
            firmware_name = arg;
            continue;
        }
        if (arg[1] == '\0')
            usage_error = true;
        for (const char *letter = arg + 1; *letter; ++letter) {
            switch (*letter) {
            case 'd':
                options |= OPT_DEBUG;
                break;
            case 'v':
                options |= OPT_VERBOSE;
                break;
            case 'o':
                devclass |= DEVCLASS_OPTICAL;
                break;
            case 't':
                devclass |= DEVCLASS_TAPE;
                break;
            case 'l': {
                int j = i + 1;
                while (j < argc && consumed[j])
                    ++j;
                if (j < argc) {
                    xfer_size = atol(argv[j]);
                    consumed[j] = true;
                } else {
                    usage_error = true;
                }
                if (xfer_size < 512)
                    usage_error = true;
                break;
            }
            default:
                usage_error = true;
                break;
            }
        }
    }

    if (strstr(argv0, "glint")) {
        devclass |= DEVCLASS_OPTICAL;
        settled = 1;
    }
    if (strstr(argv0, "brisk")) {
        devclass |= DEVCLASS_TAPE;
        settled = 2;
    }
    if (devclass == DEVCLASS_OPTICAL)
        settled = 1;
    else if (devclass == DEVCLASS_TAPE)
        settled = 2;
    else
        usage_error = true;

    if (xfer_size != 0) {
        if (xfer_size > 0 && xfer_size % 512 == 0) {
            // The table field is 32 bits: a larger request means "as large as
            // possible", which the first transfer-size rule turns into its limit.
            const int32_t stored = xfer_size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(xfer_size);
            for (auto &row : params_array)
                row.xfer_size = stored;
        } else {
            usage_error = true;
        }
    }

    if (usage_error) {
        print_usage(argv0, settled);
        return -1;
    }

    if (devclass == DEVCLASS_OPTICAL) {
        fflush(stdout);
        fflush(stderr);
        if (system("ps -ef | grep -v grep | grep -q vold") == 0) {
            fputs(optical_refusal, stderr);
            return -1;
        }
    }

    if (options & OPT_DEBUG)
        fputs("Executing in debug mode...\n", stdout);

    // The inventory lives as long as the run, like the image and the block.
    static device_entry *list;
    list = get_all_devices_info(nullptr, &block, devclass, options, options);

    if (!firmware_name) {
        display_all_devices_info(list, 1);
        if (options)
            display_download_params();
        fflush(stdout);
        return 0;
    }
    select_n_download(list, &image, &block, options);
    return 0;
}
