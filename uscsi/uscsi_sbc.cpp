// SBC command builders.
#include "uscsi_sbc.h"

#include <cstring>

#include "uscsi_builder.h"
#include "uscsi_bytes.h"

using namespace uscsi_detail;

// SBC-3 5.25 START STOP UNIT.
int start_stop_unit(int fd, scsi_cmd_block *block, int byte4, int verbose)
{
    uscsi_request &r = prepare(block, 0, 6, nullptr, 0, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x1B;
    block->cdb[4] = static_cast<unsigned char>(byte4 & 0xFF);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SBC-3 5.3 FORMAT UNIT; the parameter list length comes from its header.
int format(int fd, scsi_cmd_block *block, int bits, int verbose)
{
    const bool fmtdata = (bits & 0x10) != 0;
    const uint32_t length = fmtdata ? get_be16(block->data_out + 2) + 4 : 0;
    uscsi_request &r = prepare(block, USCSI_NOTAG, 6, fmtdata ? block->data_out : nullptr,
                               length, TIMEOUT_FORMAT);
    block->cdb[0] = 0x04;
    block->cdb[1] = static_cast<unsigned char>(bits & 0x1F);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SBC-3 5.15 READ CAPACITY(10).
int read_capacity(int fd, scsi_cmd_block *block, uint32_t lba, int pmi, int verbose)
{
    memset(block->data_in, 0, 8);
    uscsi_request &r = prepare(block, USCSI_READ, 10, block->data_in, 8, TIMEOUT_SHORT);
    block->cdb[0] = 0x25;
    block->cdb[1] = lba ? 0x01 : 0x00;
    put_be32(block->cdb + 2, lba);
    block->cdb[8] = pmi ? 0x01 : 0x00;
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

namespace {

// READ(10)/WRITE(10)/READ LONG/WRITE LONG share their layout.
int lba_command(int fd, scsi_cmd_block *block, unsigned char opcode, int32_t flags,
                unsigned char *buffer, uint32_t lba, uint32_t field, uint32_t length,
                int verbose)
{
    uscsi_request &r = prepare(block, flags, 10, buffer, length, TIMEOUT_MEDIUM);
    block->cdb[0] = opcode;
    put_be32(block->cdb + 2, lba);
    put_be16(block->cdb + 7, field & 0xFFFF);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

} // namespace

// SBC-3 5.8 READ(10).
int read_data(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t count, uint32_t block_size,
              int verbose)
{
    count &= 0xFFFF;
    const int result = lba_command(fd, block, 0x28, USCSI_READ, block->data_in, lba, count,
                                   count * block_size, verbose);
    return by_sense_key(result, block, -1);
}

// SBC-3 5.11 READ DEFECT DATA(10).
int read_defects(int fd, scsi_cmd_block *block, int format_byte, uint32_t length, int verbose)
{
    length &= 0xFFFF;
    memset(block->data_in, 0, length);
    uscsi_request &r = prepare(block, USCSI_READ, 10, block->data_in, length, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x37;
    block->cdb[2] = static_cast<unsigned char>(format_byte);
    put_be16(block->cdb + 7, length);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SBC-3 5.13 READ LONG(10).
int read_long(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t length, int verbose)
{
    length &= 0xFFFF;
    memset(block->data_in, 0, length);
    return lba_command(fd, block, 0x3E, USCSI_READ, block->data_in, lba, length, length,
                       verbose);
}

// SBC-3 5.20 REASSIGN BLOCKS with a one-entry defect list.
int reassign(int fd, scsi_cmd_block *block, uint32_t lba, int timeout, int verbose)
{
    unsigned char list[8] = {};
    put_be16(list + 2, 4);
    put_be32(list + 4, lba);
    uscsi_request &r = prepare(block, 0, 6, list, sizeof list, static_cast<int16_t>(timeout));
    block->cdb[0] = 0x07;
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SBC-2 SEEK(10).
int seek(int fd, scsi_cmd_block *block, uint32_t lba, int verbose)
{
    uscsi_request &r = prepare(block, 0, 10, nullptr, 0, TIMEOUT_MEDIUM);
    block->cdb[0] = 0x2B;
    put_be32(block->cdb + 2, lba);
    return uscsi_cmd(fd, &r, verbose, &block->result) == 0 ? 0 : -1;
}

// SBC-3 5.29 WRITE(10).
int write_data(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t count, uint32_t block_size,
               int verbose)
{
    count &= 0xFFFF;
    const int result = lba_command(fd, block, 0x2A, 0, block->data_out, lba, count,
                                   count * block_size, verbose);
    return by_sense_key(result, block, -1);
}

// SBC-3 5.35 WRITE LONG(10).
int write_long(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t length, int verbose)
{
    length &= 0xFFFF;
    return lba_command(fd, block, 0x3F, 0, block->data_out, lba, length, length, verbose);
}
