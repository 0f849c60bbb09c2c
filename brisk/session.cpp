// The terminal session: the table, the selection and its confirmation, the
// operator's answers to the engine's questions, and the countdown to the end
// of the last recovery period.
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

namespace {

const char recovery_warning[] =
    "\nOne or more devices has not yet completed flash update and/or download\n"
    "recovery time.  Devices must not be utilized until after this recovery\n"
    "period has expired, or permanent damage may result.\n\n";

bool selectable(const device_entry *e)
{
    return !e->replaced &&
           (e->state == DEV_UNKNOWN || e->state == DEV_AVAILABLE || e->state == DEV_UPDATE_FAILED);
}

void print_backspaces(size_t n)
{
    for (size_t i = 0; i < n; ++i)
        putchar('\b');
}

// The engine's questions, put to the operator; its records, to the history.
engine_caller session_caller(history_log *history)
{
    engine_caller c;
    c.use_fallback = [](const device_entry &entry, const download_params &row) {
        printf("\nCannot determine firmware Download Mode for %s.\nDo you want to try default "
               "Download Mode (%d) using\nmultiple Write Buffer commands ",
               entry.path, 5);
        fputs(row.use_offsets == 1 ? "with buffer offsets [N]? " : "and no buffer offsets [N]? ",
              stdout);
        flush_for_prompt();
        char answer[ANSWER_MAX + 2];
        return read_answer(answer) && answer_is_yes(answer);
    };
    c.eject_by_hand = [](const device_entry &) {
        fputs("Please eject the tape manually to proceed\n", stdout);
        // Nobody can take it out once standard input has ended.
        return ask_for_key();
    };
    c.refused = [](const device_entry &) { ask_for_key(); };
    record_downloads(&c, history);
    return c;
}

} // namespace

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
                       scsi_cmd_block *block, int flags, history_log *history)
{
    const engine_caller caller = session_caller(history);
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
                        open_for_download(e, block, flags, caller);
                }
            }
            for (device_entry *e = list; e; e = e->next) {
                if (e->state != DEV_SELECTED)
                    continue;
                if (yes) {
                    e->state = DEV_DOWNLOADING;
                    update_device_status(list, block, flags, caller);
                    display_all_devices_info(list, 0);
                    check_n_download(e, image, block, flags, caller);
                } else {
                    e->state = DEV_AVAILABLE;
                }
            }
        }
        update_device_status(list, block, flags, caller);
    } while (n != 0);

    double remaining = update_device_status(list, block, flags, caller);
    if (remaining > 0) {
        fputs(recovery_warning, stdout);
        std::string shown = sprintf_time(remaining);
        fputs("This program will release all devices and terminate in\n", stdout);
        printf("\t%s... ", shown.c_str());
        fflush(stdout);
        while (remaining > 0) {
            sleep(static_cast<unsigned>(remaining > 3 ? 3 : remaining));
            print_backspaces(shown.size() + 5);
            remaining = update_device_status(list, block, flags, caller);
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

