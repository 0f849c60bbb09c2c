// Device inventory: finding, identifying and listing the devices of a class.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "brisk.h"
#include "uscsi_host.h"
#include "uscsi_spc.h"

namespace {

// Device directories and name filters per class, in scan order. st's
// no-rewind nodes and ch's nodes come before the generic nodes, so the
// duplicate pass keeps the node that holds the drive against other users.
struct class_dir {
    int devclass;
    const char *dir;
    const char *filter;
};

constexpr class_dir class_dirs[] = {
    {DEVCLASS_TAPE, "/dev", "nst"},
    {DEVCLASS_TAPE, "/dev", "sch"},
    {DEVCLASS_TAPE, "/dev", "sg"},
    {DEVCLASS_OPTICAL, "/dev", "sr"},
    {DEVCLASS_OPTICAL, "/dev", "sg"},
};

bool type_accepted(unsigned char byte0, int devclass)
{
    // The whole byte: a non-zero peripheral qualifier never passes.
    switch (byte0) {
    case 0x01:
    case 0x08:
        return devclass == DEVCLASS_TAPE;
    case 0x05:
    case 0x07:
        return devclass == DEVCLASS_OPTICAL;
    default:
        return false;
    }
}

const char *state_text(int32_t state)
{
    switch (state) {
    case DEV_AVAILABLE:
        return "Available    ";
    case DEV_UPDATE_FAILED:
        return "Update failed";
    case DEV_SELECTED:
        return "Selected     ";
    case DEV_DOWNLOADING:
        return "Downloading  ";
    case DEV_WRITING_FLASH:
        return "Writing Flash";
    case DEV_FW_UPGRADED:
        return "F/W Upgraded ";
    default:
        return "Unavailable  ";
    }
}

int page_length()
{
    struct winsize ws = {};
    if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 7)
        return ws.ws_row - 6;
    return 16;
}

} // namespace

// Two nodes are one device only when they reach the same SCSI device: two
// drives may answer INQUIRY alike (no serial number, or equal ones).
void rem_duplicate_devices(device_path_node *candidates)
{
    for (device_path_node *node = candidates; node; node = node->next)
        node->located = uscsi_host_locate(node->path.c_str(), &node->address);

    for (device_path_node *a = candidates; a; a = a->next) {
        if (!a->located)
            continue;
        device_path_node *b = a->next;
        while (b) {
            device_path_node *following = b->next;
            if (b->located && same_address(a->address, b->address))
                rem_device(candidates, b);
            b = following;
        }
    }
}

device_entry *get_all_devices_info(device_entry *list, scsi_cmd_block *block,
                                   int devclass, int options, int trace)
{
    device_path_node *candidates = nullptr;
    for (const auto &d : class_dirs) {
        if (devclass & d.devclass)
            candidates = scan_dir(d.dir, candidates, d.filter);
    }

    // /dev holds much besides SCSI nodes; nothing else is ever opened.
    for (device_path_node *node = candidates; node;) {
        device_path_node *following = node->next;
        if (!uscsi_host_is_scsi_node(node->path.c_str()))
            candidates = rem_device(candidates, node);
        node = following;
    }

    rem_duplicate_devices(candidates);
    if (!candidates)
        return list;

    device_entry *tail = list;
    while (tail && tail->next)
        tail = tail->next;

    for (device_path_node *node = candidates; node; node = node->next) {
        const char *path = node->path.c_str();
        if (node->path.size() > DEVICE_PATH_MAX)
            continue;
        int fd = open(path, O_RDWR | O_NONBLOCK);
        if (fd < 0)
            fd = open(path, O_RDONLY | O_NONBLOCK);
        // Another run of brisk that holds the device is a busy device: not
        // one command goes to it, not even INQUIRY.
        if (fd >= 0 && uscsi_host_hold(fd, node->address.generic, false) != 0) {
            const int e = errno;
            close(fd);
            fd = -1;
            errno = e;
        }
        if (fd < 0) {
            if (options == OPT_VERBOSE)
                fprintf(stderr, "Unable to open device: %s, <Error:> %s\n", path, strerror(errno));
            continue;
        }

        request_sense(fd, block, trace);
        if (inquiry(fd, block, trace) != 0) {
            if (options == OPT_VERBOSE)
                fprintf(stderr, "Inquiry command on device %s failed\n", path);
            uscsi_host_release(fd);
            continue;
        }
        if (!type_accepted(block->inq_data[0], devclass)) {
            uscsi_host_release(fd);
            continue;
        }

        auto *entry = new device_entry;
        memcpy(entry->path, path, node->path.size() + 1);
        entry->fd = -1;
        entry->inquiry_owner = std::make_unique<unsigned char[]>(INQ_LEN);
        entry->inquiry_data = entry->inquiry_owner.get();
        memcpy(entry->inquiry_data, block->inq_data, INQ_LEN);
        entry->state = DEV_AVAILABLE;
        entry->serial = block->unit_serial[0] ? block->unit_serial
                                              : inquiry_text(block->inq_data + 36, 12);
        entry->address = node->address;
        entry->located = node->located;
        uscsi_host_release(fd);

        if (tail)
            tail->next = entry;
        else
            list = entry;
        tail = entry;
    }
    while (candidates)
        candidates = rem_device(candidates, candidates);
    return list;
}

int display_header()
{
    fputs("\fATTACHED DEVICES:\n\n", stdout);
    fputs("Device        \tSupplier  Product           Rev   Serial Number  Device State\n", stdout);
    return printf("--------------\t--------  ----------------  ----  -------------  -------------\n");
}

const unsigned char *printchars(const unsigned char *text, int count)
{
    if (count < 1)
        return text;
    for (int i = 0; i < count; ++i) {
        const unsigned char c = text[i];
        putchar(c >= 0x20 && c <= 0x7E ? c : ' ');
    }
    return text + count;
}

int print_scsi_info(const device_entry *entry)
{
    const char *slash = strrchr(entry->path, '/');
    const char *name = slash ? slash + 1 : entry->path;
    // A local copy: a short name is padded with blanks, and the field never
    // reads past the end of the path.
    unsigned char shown[10] = {};
    const size_t len = strnlen(name, sizeof shown);
    memcpy(shown, name, len);
    printchars(shown, 9);
    if (len == 10 && isalnum(shown[9]))
        fputs("...", stdout);
    putchar('\t');
    const unsigned char *inq = entry->inquiry_data;
    printchars(inq + 8, 8);
    fputs("  ", stdout);
    printchars(inq + 16, 16);
    fputs("  ", stdout);
    printchars(inq + 32, 4);
    fputs("  ", stdout);
    printchars(inq + 36, 12);
    fputs("   ", stdout);
    fputs(state_text(entry->state), stdout);
    putchar('\n');
    return fflush(stdout);
}

int display_all_devices_info(device_entry *list, int pause)
{
    if (!list) {
        fputs("\nNO SUPPORTED DEVICES FOUND\n\n", stdout);
        return -1;
    }
    display_header();
    const int rows = page_length();
    int number = 0;
    for (device_entry *e = list; e; e = e->next) {
        ++number;
        printf("%d:", number);
        print_scsi_info(e);
        if (number % rows == 0 && e->next && pause == 1) {
            ask_for_key();
            display_header();
        }
    }
    return number;
}
