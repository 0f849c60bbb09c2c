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

// Copies a field up to its first zero byte and zero-fills the rest.
void copy_field(unsigned char *to, const unsigned char *from, size_t width)
{
    size_t n = 0;
    for (; n < width && from[n] != 0; ++n)
        to[n] = from[n];
    for (; n < width; ++n)
        to[n] = 0;
}

struct identity_field {
    size_t offset;
    size_t width;
};

constexpr identity_field identity_fields[] = {
    {8, 8},   // vendor
    {16, 16}, // product
    {32, 4},  // revision
    {36, 12}, // serial number
};

bool same_identity(const std::array<unsigned char, 48> &a,
                   const std::array<unsigned char, 48> &b)
{
    for (const auto &f : identity_fields) {
        if (strncmp(reinterpret_cast<const char *>(a.data() + f.offset),
                    reinterpret_cast<const char *>(b.data() + f.offset), f.width) != 0)
            return false;
    }
    return true;
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

void rem_duplicate_devices(device_path_node *candidates)
{
    scsi_cmd_block own = {};
    for (device_path_node *node = candidates; node; node = node->next) {
        const int fd = open(node->path.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        if (inquiry(fd, &own, -1) == 0) {
            node->identity = std::make_unique<std::array<unsigned char, 48>>();
            node->identity->fill(0);
            for (const auto &f : identity_fields)
                copy_field(node->identity->data() + f.offset, own.inq_data + f.offset, f.width);
        }
        close(fd);
    }

    for (device_path_node *a = candidates; a; a = a->next) {
        if (!a->identity)
            continue;
        device_path_node *b = a->next;
        while (b) {
            device_path_node *following = b->next;
            if (b->identity && same_identity(*a->identity, *b->identity))
                rem_device(candidates, b);
            b = following;
        }
    }

    for (device_path_node *node = candidates; node; node = node->next)
        node->identity.reset();
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
        if (fd < 0) {
            if (options == OPT_VERBOSE)
                fprintf(stderr, "Unable to open device: %s, <Error:> %s\n", path, strerror(errno));
            continue;
        }

        request_sense(fd, block, trace);
        if (inquiry(fd, block, trace) != 0) {
            if (options == OPT_VERBOSE)
                fprintf(stderr, "Inquiry command on device %s failed\n", path);
            close(fd);
            continue;
        }
        if (!type_accepted(block->inq_data[0], devclass)) {
            close(fd);
            continue;
        }

        auto *entry = new device_entry;
        memcpy(entry->path, path, node->path.size() + 1);
        entry->fd = -1;
        entry->inquiry_owner = std::make_unique<unsigned char[]>(INQ_LEN);
        entry->inquiry_data = entry->inquiry_owner.get();
        memcpy(entry->inquiry_data, block->inq_data, INQ_LEN);
        entry->state = DEV_AVAILABLE;
        close(fd);

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
