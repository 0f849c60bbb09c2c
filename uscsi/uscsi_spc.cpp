// SPC command builders.
#include "uscsi_spc.h"

#include <cstring>
#include <vector>

#include "uscsi_builder.h"
#include "uscsi_bytes.h"

using namespace uscsi_detail;

// SPC-4 6.33 TEST UNIT READY.
int test_unit_ready(int fd, scsi_cmd_block *block, int verbose)
{
    uscsi_request &r = prepare(block, 0, 6, nullptr, 0, TIMEOUT_SHORT);
    block->cdb[0] = 0x00;
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SPC-4 6.29 REQUEST SENSE: 36 bytes across sense and sense_ext.
int request_sense(int fd, scsi_cmd_block *block, int verbose)
{
    memset(block->sense, 0, SENSE_LEN);
    memset(block->sense_ext, 0, SENSE_EXT_LEN);
    uscsi_request &r = prepare(block, USCSI_READ, 6, block->sense, SENSE_LEN + SENSE_EXT_LEN,
                               TIMEOUT_SHORT);
    block->cdb[0] = 0x03;
    block->cdb[4] = SENSE_LEN + SENSE_EXT_LEN;
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

namespace {

int inquiry_request(int fd, scsi_cmd_block *block, int evpd, int page, unsigned char *buffer,
                    uint32_t length, int verbose)
{
    uscsi_request &r = prepare(block, USCSI_READ, 6, buffer, length, TIMEOUT_SHORT);
    block->cdb[0] = 0x12;
    block->cdb[1] = static_cast<unsigned char>(evpd);
    block->cdb[2] = static_cast<unsigned char>(page);
    block->cdb[4] = static_cast<unsigned char>(length & 0xFF);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

} // namespace

// SPC-4 6.4 INQUIRY, with the unit serial number page (7.8.15) placed in
// bytes 36-47 of the standard data.
int inquiry(int fd, scsi_cmd_block *block, int verbose)
{
    // The page buffer is sized from the device's own page length, so no
    // answer can overflow it.
    std::vector<unsigned char> page(4, 0);
    int serial_result = inquiry_request(fd, block, 0x01, 0x80, page.data(), 4, verbose);
    uint32_t total = 0;
    if (serial_result == 0 && block->result.resid == 0) {
        total = uint32_t{page[3]} + 4;
        page.assign(total, 0);
        serial_result = inquiry_request(fd, block, 0x01, 0x80, page.data(), total, verbose);
        // Only the bytes the device sent are its serial number.
        total -= block->result.resid < total ? block->result.resid : total;
    }

    memset(block->inq_data, 0, INQ_LEN);
    memset(block->vendor_data, 0, VENDOR_DATA_LEN);
    block->unit_serial[0] = '\0';
    int result = inquiry_request(fd, block, 0x00, 0x00, block->inq_data, INQ_LEN, verbose);
    // Vendor, product and revision end at byte 35: a shorter answer is none.
    if (result == 0 && INQ_LEN - block->result.resid < 36) {
        memset(block->inq_data, 0, INQ_LEN);
        result = -1;
    }

    if (serial_result == 0 && total >= 5 && page[3] != 0) {
        uint32_t n = page[3];
        if (n > total - 4)
            n = total - 4;
        while (n > 0 && page[3 + n] == ' ')
            --n;
        uint32_t lead = 0;
        while (lead < n && page[4 + lead] == ' ')
            ++lead;
        const size_t whole = strnlen(reinterpret_cast<const char *>(page.data() + 4 + lead), n - lead);
        memcpy(block->unit_serial, page.data() + 4 + lead, whole);
        block->unit_serial[whole] = '\0';
        uint32_t start = 4;
        if (n > 12) {
            start = 4 + n - 12;
            n = 12;
        }
        if (memcmp(block->inq_data + 8, "STK", 3) == 0) {
            for (int i = 0; i < 12 && block->inq_data[36 + i] != 0; ++i)
                block->vendor_data[i] = block->inq_data[36 + i];
        }
        uint32_t i = 0;
        for (; i < n && page[start + i] != 0; ++i)
            block->inq_data[36 + i] = page[start + i];
        for (; 36 + i < INQ_LEN; ++i)
            block->inq_data[36 + i] = 0;
    }
    return result;
}

namespace {

// WRITE BUFFER and READ BUFFER share their CDB layout.
int buffer_command(int fd, scsi_cmd_block *block, unsigned char opcode, int32_t flags,
                   unsigned char *buffer, uint32_t length, uint32_t offset, int control,
                   int mode, int buffer_id, int verbose)
{
    uscsi_request &r = prepare(block, flags, 10, buffer, length, TIMEOUT_LONG);
    unsigned char *cdb = block->cdb;
    cdb[0] = opcode;
    cdb[1] = static_cast<unsigned char>(mode & 0x1F);
    cdb[2] = static_cast<unsigned char>(buffer_id & 0xFF);
    put_be24(cdb + 3, offset & 0xFFFFFF);
    put_be24(cdb + 6, length & 0xFFFFFF);
    cdb[9] = (control & 1) ? 0x80 : 0x00;
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

} // namespace

// SPC-4 6.49 WRITE BUFFER; with no data it carries the read bit.
int write_buffer(int fd, scsi_cmd_block *block, uint32_t length, uint32_t offset, int control,
                 int mode, int buffer_id, int verbose)
{
    return buffer_command(fd, block, 0x3B, length ? 0 : USCSI_READ, block->data_out, length,
                          offset, control, mode, buffer_id, verbose);
}

// SPC-4 6.42 SEND DIAGNOSTIC.
int send_diagnostic(int fd, scsi_cmd_block *block, int bits, uint32_t length, int verbose)
{
    const uint32_t len16 = length & 0xFFFF;
    uscsi_request &r = prepare(block, 0, 6, block->data_out, len16, TIMEOUT_LONG);
    block->cdb[0] = 0x1D;
    block->cdb[1] = static_cast<unsigned char>(bits & 0x1F);
    put_be16(block->cdb + 3, len16);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

namespace {

int receive_request(int fd, scsi_cmd_block *block, int bits, int page, uint32_t length,
                    int verbose)
{
    uscsi_request &r = prepare(block, USCSI_READ, 6, block->data_in, length, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x1C;
    block->cdb[1] = static_cast<unsigned char>(bits & 0x1F);
    block->cdb[2] = static_cast<unsigned char>(page & 0xFF);
    put_be16(block->cdb + 3, length);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

} // namespace

// SPC-4 6.27 RECEIVE DIAGNOSTIC RESULTS: the header first, then the whole
// page, never more than the caller's buffer holds.
int receive_diagnostic(int fd, scsi_cmd_block *block, int bits, int page, size_t size,
                       int verbose)
{
    const uint32_t cap = size > 0xFFFF ? 0xFFFF : static_cast<uint32_t>(size);
    const uint32_t header = cap < 6 ? cap : 6;
    const int result = receive_request(fd, block, bits, page, header, verbose);
    if (result != 0)
        return result;
    uint32_t total = (header >= 4 ? get_be16(block->data_in + 2) : 0) + 4;
    if (total > cap)
        total = cap;
    memset(block->data_in, 0, total);
    return receive_request(fd, block, bits, page, total, verbose);
}

// SPC-4 6.5 LOG SELECT.
int log_select(int fd, scsi_cmd_block *block, int page_control, uint32_t length, int reset,
               int verbose)
{
    if (reset)
        length = 0;
    length &= 0xFFFF;
    uscsi_request &r = prepare(block, 0, 10, block->data_out, length, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x4C;
    block->cdb[1] = reset ? 0x02 : 0x00;
    block->cdb[2] = static_cast<unsigned char>(page_control);
    put_be16(block->cdb + 7, length);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SPC-4 6.6 LOG SENSE.
int log_sense(int fd, scsi_cmd_block *block, int page, uint32_t length,
              uint32_t parameter_pointer, int verbose)
{
    length &= 0xFFFF;
    memset(block->data_in, 0, length);
    uscsi_request &r = prepare(block, USCSI_READ, 10, block->data_in, length, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x4D;
    block->cdb[2] = static_cast<unsigned char>(page);
    put_be16(block->cdb + 5, parameter_pointer & 0xFFFF);
    put_be16(block->cdb + 7, length);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

namespace {

int mode_sense_request(int fd, scsi_cmd_block *block, int page, uint32_t length, int verbose)
{
    memset(block->mode_data, 0, length);
    uscsi_request &r = prepare(block, USCSI_READ, 6, block->mode_data, length, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x1A;
    block->cdb[2] = static_cast<unsigned char>(page);
    block->cdb[4] = static_cast<unsigned char>(length);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

} // namespace

// SPC-4 6.11 MODE SENSE(6): the header first, then the whole data, never
// more than mode_data holds.
int mode_sense(int fd, scsi_cmd_block *block, int page, int verbose)
{
    const int result = mode_sense_request(fd, block, page, 12, verbose);
    if (result != 0)
        return result;
    uint32_t length = (block->mode_data[0] + 1u) % 256;
    if (length > MODE_DATA_LEN)
        length = MODE_DATA_LEN;
    return mode_sense_request(fd, block, page, length, verbose);
}

// SPC-4 6.9 MODE SELECT(6): sends back what MODE SENSE left in mode_data.
int mode_select(int fd, scsi_cmd_block *block, int save, int verbose)
{
    uint32_t length = (block->mode_data[0] + 1u) % 256;
    if (length > MODE_DATA_LEN)
        length = MODE_DATA_LEN;
    block->mode_data[0] = 0;
    block->mode_data[2] = 0;
    block->mode_data[12] &= 0x7F;
    uscsi_request &r = prepare(block, 0, 6, block->mode_data, length, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x15;
    block->cdb[1] = static_cast<unsigned char>((0x10 | (save / 128)) & 0x1F);
    block->cdb[4] = static_cast<unsigned char>(length);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SPC-4 6.15 READ BUFFER.
int read_buffer(int fd, scsi_cmd_block *block, uint32_t length, uint32_t offset, int control,
                int mode, int buffer_id, int verbose)
{
    return buffer_command(fd, block, 0x3C, USCSI_READ, block->data_in, length, offset, control,
                          mode, buffer_id, verbose);
}
