// The drive unlock (hexadecimal conversion, page exchanges, patch and
// trailer) on any firmware file, then the download of what it left.
//
// Input: mode byte (bit 0: repeat the text up to the target size, bit 1:
// unlock twice, as for a second drive), target size (24 bits), length of
// the device's reply script (16 bits), the script (fuzz_replies.h), then
// the firmware file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "brisk.h"
#include "fake_host.h"
#include "fuzz_input.h"
#include "fuzz_replies.h"

namespace {

download_params *toshiba_row()
{
    for (auto &row : params_array) {
        if (strcmp(row.vendor, "TOSHIBA") == 0)
            return &row;
    }
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return fuzz::quiet_standard_streams();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in{data, size};
    const uint8_t mode = in.byte();
    const size_t target = in.u24() % 200000;
    const std::string script = in.take(in.u16());
    const std::string text = in.rest();

    firmware_image image;
    // Exactly the file's size, as the loader allocates it: a step past the
    // end is caught.
    size_t len = text.size();
    if ((mode & 1) && !text.empty())
        len = target;
    image.data.assign(len, 0);
    image.data.shrink_to_fit();
    for (size_t i = 0; i < len && !text.empty(); ++i)
        image.data[i] = static_cast<unsigned char>(text[i % text.size()]);
    image.file_status.st_size = static_cast<off_t>(len);
    snprintf(image.path, sizeof image.path, "/fw/unlock.hex");

    device_entry entry;
    snprintf(entry.path, sizeof entry.path, "/dev/null");
    unsigned char inq[INQ_LEN] = {0x05};
    memcpy(inq + 8, "TOSHIBA CD-ROM XM-6201TA1234", 28);
    entry.inquiry_data = inq;
    static scsi_cmd_block block;

    fuzz::script_replies(script);
    const int rounds = (mode & 2) ? 2 : 1;
    for (int round = 0; round < rounds; ++round) {
        const int result = unlock_toshiba(&entry, &image, &block, 0);
        FUZZ_CHECK(image.file_status.st_size >= 0);
        FUZZ_CHECK(static_cast<size_t>(image.file_status.st_size) <= image.data.size());
        if (image.converted == 1)
            FUZZ_CHECK(image.file_status.st_size >= 0xC000 + 3);
        if (result != 0)
            continue;
        // What the drive gets is the converted image up to its trailer.
        fake_host::reset();
        download(&entry, &image, &block, toshiba_row(), 0);
        if (entry.fd >= 0)
            close(entry.fd);
        entry.fd = -1;
        long sent = 0;
        for (const auto &c : fake_host::log()) {
            if (!c.cdb.empty() && c.cdb[0] == 0x3B)
                sent += c.buflen;
        }
        FUZZ_CHECK(entry.state == DEV_WRITING_FLASH);
        FUZZ_CHECK(sent == image.file_status.st_size);
        fuzz::script_replies(script);
    }
    fake_host::reset();
    return 0;
}
