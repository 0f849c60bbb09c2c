// The download engine against any download method, any READ BLOCK LIMITS
// answer, any host transfer limit and any failing command: it ends, never
// sends past the image, keeps the offsets and lengths in their fields, and
// sends nothing after a failed WRITE BUFFER.
//
// Input: row byte (below 18: that row of the table; else the row follows:
// mode, control, commands, buffer ID, offsets, final save, transfer size
// and block length as 32 bits each), INQUIRY byte 0, option bits, image
// length (24 bits), host transfer limit (32 bits), then the reply script
// (fuzz_replies.h). Once the script is used up the drive reports no medium
// to TEST UNIT READY and GOOD to everything else.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "brisk.h"
#include "fake_host.h"
#include "fuzz_input.h"
#include "fuzz_replies.h"

// The engine's settle and recovery waits cost nothing here.
extern "C" unsigned int sleep(unsigned int)
{
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return fuzz::quiet_standard_streams();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in{data, size};
    const uint8_t which = in.byte();
    download_params row = params_array[which < PARAMS_ROWS ? which : PARAMS_ROWS - 1];
    if (which >= PARAMS_ROWS) {
        row.wb_mode = in.byte();
        row.control = in.byte();
        row.commands = in.byte();
        row.buffer_id = in.byte();
        row.use_offsets = in.byte();
        row.final_save = in.byte() % 3;
        row.xfer_size = static_cast<int32_t>(in.u16() | (uint32_t{in.u16()} << 16));
        row.block_length = in.u16() | (uint32_t{in.u16()} << 16);
    }
    unsigned char inq[INQ_LEN] = {};
    inq[0] = in.byte();
    const int flags = in.byte() & (OPT_VERBOSE | OPT_DEBUG);
    // Small enough that a drive taking one byte per command still ends quickly.
    const size_t length = in.u24() % 12000;
    fake_host::max_transfer = static_cast<int32_t>(in.u16() | (uint32_t{in.u16()} << 16));
    const long host_max = fake_host::max_transfer;
    fuzz::script_replies(in.rest(), [](const fake_host::command &c) {
        return c.cdb[0] == 0x00 ? fake_host::check_condition(2, 0x3A) : fake_host::reply{};
    });
    fake_host::max_transfer = host_max;

    firmware_image image;
    image.data.assign(length, 0);
    image.data.shrink_to_fit();
    image.file_status.st_size = static_cast<off_t>(length);
    snprintf(image.path, sizeof image.path, "/fw/image.bin");
    device_entry entry;
    snprintf(entry.path, sizeof entry.path, "/dev/null");
    entry.inquiry_data = inq;
    static scsi_cmd_block block;

    download(&entry, &image, &block, &row, flags);
    if (entry.fd >= 0)
        close(entry.fd);

    FUZZ_CHECK(entry.state == DEV_UPDATE_FAILED || entry.state == DEV_WRITING_FLASH);
    const auto &log = fake_host::log();
    const unsigned char *begin = image.data.data();
    size_t sent = 0;
    size_t data_commands = 0;
    bool closed = false;
    for (const auto &c : log) {
        if (c.cdb.empty() || c.cdb[0] != 0x3B)
            continue;
        FUZZ_CHECK(!(flags & OPT_DEBUG));
        FUZZ_CHECK(!closed);
        const uint32_t offset = (c.cdb[3] << 16) | (c.cdb[4] << 8) | c.cdb[5];
        const uint32_t field = (c.cdb[6] << 16) | (c.cdb[7] << 8) | c.cdb[8];
        FUZZ_CHECK(field == c.buflen && c.buflen <= 524288);
        if (host_max >= 512)
            FUZZ_CHECK(c.buflen <= static_cast<unsigned long>(host_max));
        FUZZ_CHECK(offset == (row.use_offsets ? sent : 0));
        if (c.buflen > 0) {
            // The data of every command lies inside the image, in order.
            FUZZ_CHECK(c.bufaddr == begin + sent && sent + c.buflen <= length);
            ++data_commands;
        } else {
            FUZZ_CHECK(row.final_save == 2 && sent == length);
            closed = true;
        }
        sent += c.buflen;
    }
    // After a failed WRITE BUFFER the drive sees nothing more.
    if (entry.state == DEV_UPDATE_FAILED && (data_commands > 0 || closed))
        FUZZ_CHECK(log.back().cdb[0] == 0x3B);
    if (entry.state == DEV_WRITING_FLASH && !(flags & OPT_DEBUG)) {
        FUZZ_CHECK(sent == length);
        FUZZ_CHECK(closed == (row.final_save == 2));
    }
    if (row.commands == 1)
        FUZZ_CHECK(data_commands <= 1);
    fake_host::reset();
    return 0;
}
