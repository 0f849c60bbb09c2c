// Pass-through core: every SCSI command goes through uscsi_cmd.
#include "uscsi_generic.h"

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "uscsi_bytes.h"
#include "uscsi_host.h"

char p_error_msg[P_ERROR_MSG_SIZE];

namespace {

struct command_name {
    int opcode;
    const char *name;
};

// Lookup order matters: for codes listed twice the first entry wins.
constexpr command_name command_names[] = {
    {0x1E, "Prevent/Allow Medium Removal"},
    {0xA6, "Load/Unload CDVD"},
    {0xBC, "Play CD"},
    {0xBE, "Read CD"},
    {0xB9, "Read CD MSF"},
    {0x51, "Read Disc Info"},
    {0xAD, "Read DVD Structure"},
    {0x23, "Read Formatted Capacities"},
    {0x52, "Read Track Info"},
    {0xBA, "Scan"},
    {0xA7, "Set Read Ahead"},
    {0x4E, "Stop Plan/Scan"},
    {0x19, "Erase"},
    {0x04, "Format"},
    {0x1C, "Receive Diagnostic Results"},
    {0x12, "Inquiry"},
    {0x1B, "Load/Unload"},
    {0x4C, "Log Select"},
    {0x4D, "Log Sense"},
    {0x15, "Mode Select"},
    {0x55, "Mode Select (10 Byte)"},
    {0x1A, "Mode Sense"},
    {0x5A, "Mode Sense (10 Byte)"},
    {0xA5, "Move Medium"},
    {0xA7, "Move Medium Attached"},
    {0x4B, "Pause/Resume"},
    {0x5E, "Persistent Reserve In"},
    {0x5F, "Persistent Reserve Out"},
    {0x47, "Play Audio MSF"},
    {0x48, "Play Audio Track/Index"},
    {0x45, "Play Audio"},
    {0xA5, "Play Audio (12 Byte)"},
    {0x08, "Read"},
    {0x28, "Read (10 Byte)"},
    {0xA8, "Read (12 Byte)"},
    {0x05, "Read Block Limits"},
    {0x3C, "Read Buffer"},
    {0x25, "Read Capacity"},
    {0xD8, "Read CD-DA"},
    {0xDB, "Read CD-XA"},
    {0x37, "Read Defect List"},
    {0xB8, "Read Element Status"},
    {0xB4, "Read Element Status Attached"},
    {0x44, "Read Header"},
    {0x3E, "Read Long"},
    {0x34, "Read Position"},
    {0x0F, "Read Reverse"},
    {0x42, "Read Sub Channel"},
    {0x43, "Read TOC"},
    {0x07, "Reassign Block"},
    {0x14, "Recover Buffered Data"},
    {0x17, "Release"},
    {0x57, "Release"},
    {0x44, "Report Density Support"},
    {0xA0, "Report LUNs"},
    {0x03, "Request Sense"},
    {0x16, "Reserve"},
    {0x56, "Reserve"},
    {0x01, "Rewind"},
    {0x01, "Rezero Unit"},
    {0x1D, "Send Diagnostic"},
    {0x0B, "Seek"},
    {0x2B, "Seek (10 Byte)"},
    {0x11, "Space"},
    {0x00, "Test Unit Ready"},
    {0x2F, "Verify"},
    {0x13, "Verify"},
    {0x0A, "Write"},
    {0x2A, "Write (10 Byte)"},
    {0x3B, "Write Buffer"},
    {0x10, "Write File Mark"},
    {0x3F, "Write Long"},
    {0x2E, "Write and Verify"},
    {0xFF, "Unknown"},
};
static_assert(sizeof command_names / sizeof command_names[0] == 74);

const char *const sense_key_texts[16] = {
    "No sense error",     "Recoverable error", "Not ready error",   "Medium error",
    "Hardware error",     "Illegal request",   "Unit attention error", "Write protect error",
    "Blank check error",  "Vendor unique error", "Copy aborted error", "Aborted command",
    "Equal error",        "Volume overflow",   "Miscompare error",  "Reserved error",
};

// Appends formatted text, never past size; the text stays terminated.
void append(char *text, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void append(char *text, size_t size, const char *fmt, ...)
{
    const size_t used = strnlen(text, size);
    if (used + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text + used, size - used, fmt, ap);
    va_end(ap);
}

// One dump layout for both the stream and the text form.
template <typename Out>
void dump(const char *label, const unsigned char *data, int length, int format,
          const char *hex_format, Out out)
{
    assert(format == HEX_ONLY || format == HEX_ASCII);
    if (length < 1)
        return;
    char prefix[256];
    const size_t label_len = strnlen(label, sizeof prefix - 1);
    memset(prefix, ' ', label_len);
    prefix[label_len] = '\0';

    for (int line = 0; line < length; line += 16) {
        const int n = length - line < 16 ? length - line : 16;
        out("%s", line == 0 ? label : prefix);
        for (int i = 0; i < n; ++i)
            out(hex_format, data[line + i]);
        if (format == HEX_ASCII) {
            for (int i = n; i < 16; ++i)
                out("%s", "   ");
            out("%s", "    ");
            for (int i = 0; i < n; ++i) {
                const unsigned char c = data[line + i];
                out("%c", (c >= 0x20 && c <= 0x7E) ? c : '.');
            }
        }
        out("%s", "\n");
    }
}

} // namespace

sense_info decode_sense(const unsigned char *sense, int count)
{
    auto at = [&](int i) -> unsigned char { return i < count ? sense[i] : 0; };
    sense_info s = {};
    const int code = at(0) & 0x7F;
    s.deferred = code == 0x71 || code == 0x73;
    s.add_len = at(7);
    if (code == 0x72 || code == 0x73) {
        s.key = at(1) & 0x0F;
        s.asc = at(2);
        s.ascq = at(3);
        // Only the information descriptor (type 0) says what fixed format
        // says in bytes 0 and 3-6; its low 32 bits are kept.
        for (int d = 8; d + 1 < count && d < 8 + s.add_len; d += 2 + at(d + 1)) {
            if (at(d) == 0x00 && at(d + 1) >= 0x0A) {
                const unsigned char info[4] = {at(d + 8), at(d + 9), at(d + 10), at(d + 11)};
                s.valid = (at(d + 2) & 0x80) != 0;
                s.info = static_cast<int32_t>(get_be32(info));
                break;
            }
        }
        return s;
    }
    s.valid = (at(0) & 0x80) != 0;
    s.key = at(2) & 0x0F;
    s.asc = at(12);
    s.ascq = at(13);
    const unsigned char info[4] = {at(3), at(4), at(5), at(6)};
    s.info = static_cast<int32_t>(get_be32(info));
    return s;
}

bool has_current_sense(const scsi_result &r)
{
    return r.err == 0 && r.status == 2 && r.sense_len > 0 && !r.sense.deferred;
}

bool sense_is(const scsi_result &r, int key, int asc)
{
    return has_current_sense(r) && r.sense.key == key && r.sense.asc == asc;
}

const char *scsi_find_command_name(int opcode)
{
    const command_name *entry = command_names;
    for (; entry->opcode != 0xFF; ++entry) {
        if (entry->opcode == opcode)
            return entry->name;
    }
    return entry->name;
}

void p_dump(const char *label, const unsigned char *data, int length, int format)
{
    dump(label, data, length, format, "%02x ",
         [](const char *fmt, auto value) { fprintf(stderr, fmt, value); });
}

void string_dump(const char *label, const unsigned char *data, int length, int format,
                 char *text, size_t text_size)
{
    dump(label, data, length, format, "%02X ",
         [&](const char *fmt, auto value) { append(text, text_size, fmt, value); });
}

void scsi_printerr(const uscsi_request *request, const unsigned char *sense, int count,
                   char *text)
{
    const size_t size = P_ERROR_MSG_SIZE;
    const sense_info s = decode_sense(sense, count);
    text[0] = '\0';
    append(text, size, "%s", sense_key_texts[s.key]);
    append(text, size, " during %s", scsi_find_command_name(request->req_cdb[0]));
    if (s.valid)
        append(text, size, ": block %d (0x%x)", s.info, static_cast<unsigned>(s.info));
    append(text, size, "\n");
    // Descriptor format always carries the code; fixed format from byte 13 on.
    if (s.add_len >= 6 || (count > 0 && (sense[0] & 0x7E) == 0x72))
        append(text, size, "Additional sense: 0x%02x   ASC Qualifier: 0x%02x\n", s.asc, s.ascq);
    if (s.key == 5) {
        string_dump("cmd:    ", reinterpret_cast<const unsigned char *>(request),
                    static_cast<int>(sizeof *request), HEX_ONLY, text, size);
        string_dump("cdb:    ", request->req_cdb, request->req_cdblen, HEX_ONLY, text, size);
    }
    int shown = s.add_len + 8;
    if (shown > count)
        shown = count;
    string_dump("sense:  ", sense, shown, HEX_ONLY, text, size);
}

int uscsi_cmd(int fd, uscsi_request *request, int verbose, scsi_result *result)
{
    scsi_result unused;
    if (!result)
        result = &unused;
    *result = {};
    request->req_flags |= USCSI_RQENABLE | USCSI_ISOLATE | USCSI_DIAGNOSE;
    const uint32_t limit = verbose == 1 ? 64 : verbose == 2 ? 1024 : 65536;
    const bool reads = (request->req_flags & USCSI_READ) != 0;

    if (verbose <= 0) {
        request->req_flags |= USCSI_SILENT;
    } else {
        fprintf(stderr, "\n    Issuing the following SCSI command: %s\n",
                scsi_find_command_name(request->req_cdb[0]));
        fprintf(stderr, "\tfd=%x cdb=", fd);
        for (int i = 0; i < request->req_cdblen; ++i)
            fprintf(stderr, "%02X ", request->req_cdb[i]);
        fprintf(stderr, "\n\tlen=0x%X bufaddr=0x%lX ", request->req_cdblen,
                reinterpret_cast<unsigned long>(request->req_bufaddr));
        fprintf(stderr, "\n\tbuflen=0x%X flags=0x%X\n", request->req_buflen,
                static_cast<unsigned>(request->req_flags));
        if (!reads && request->req_bufaddr) {
            const uint32_t n = request->req_buflen < limit ? request->req_buflen : limit;
            p_dump("    Data out: ", request->req_bufaddr, static_cast<int>(n), HEX_ASCII);
        }
    }

    const int host = uscsi_host_ioctl(fd, request, result);
    const int saved = errno;
    const int received = request->req_sensebuf && (request->req_flags & USCSI_RQENABLE)
                             ? request->req_senselen - request->req_senseresid
                             : 0;
    if (received > 0) {
        result->sense_len = received;
        result->sense = decode_sense(request->req_sensebuf, received);
    }

    if (request->req_status != 0) {
        if (verbose > 0 && received > 0) {
            scsi_printerr(request, request->req_sensebuf, received, p_error_msg);
            fprintf(stderr, "%s", p_error_msg);
        }
        errno = saved;
        return request->req_status;
    }
    if (host != 0) {
        if (verbose >= 0)
            fprintf(stderr, "Unexpected USCSICMD ioctl error: %s\n", strerror(saved));
        errno = saved;
        return host;
    }
    if (verbose > 0 && reads && request->req_bufaddr) {
        const uint32_t n = request->req_buflen < limit ? request->req_buflen : limit;
        p_dump("    Data in:  ", request->req_bufaddr, static_cast<int>(n), HEX_ASCII);
    }
    return 0;
}

int scsi_reset(int fd, scsi_cmd_block *block, int reset_flags, int verbose)
{
    memset(&block->request, 0, sizeof block->request);
    memset(block->cdb, 0, sizeof block->cdb);
    block->request.req_flags = reset_flags;
    block->request.req_cdb = block->cdb;
    block->request.req_cdblen = 6;
    return uscsi_cmd(fd, &block->request, verbose, &block->result);
}
