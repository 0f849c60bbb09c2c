// SSC command builders.
#include "uscsi_ssc.h"

#include <cstring>

#include "uscsi_builder.h"
#include "uscsi_bytes.h"

using namespace uscsi_detail;

// SSC-3 7.7 READ BLOCK LIMITS.
int read_block_limits(int fd, scsi_cmd_block *block, int verbose)
{
    memset(block->data_in, 0, 6);
    uscsi_request &r = prepare(block, USCSI_READ, 6, block->data_in, 6, TIMEOUT_SHORT);
    block->cdb[0] = 0x05;
    const int result = uscsi_cmd(fd, &r, verbose, &block->result);
    // All six bytes or none: a short answer would leave zeros read as limits.
    if (result == 0 && block->result.resid != 0) {
        memset(block->data_in, 0, 6);
        return -1;
    }
    return result;
}

// SSC-3 7.2 LOAD UNLOAD; moves no data although the buffer is named.
int load_unload(int fd, scsi_cmd_block *block, int byte4, int verbose)
{
    uscsi_request &r = prepare(block, 0, 6, block->data_in, 0, TIMEOUT_LONG);
    block->cdb[0] = 0x1B;
    block->cdb[4] = static_cast<unsigned char>(byte4 & 0xFF);
    return uscsi_cmd(fd, &r, verbose, &block->result);
}

// SSC-3 6.7 WRITE(6) of one variable-length block.
int write_variable(int fd, scsi_cmd_block *block, uint32_t length, int verbose)
{
    length &= 0xFFFFFF;
    uscsi_request &r = prepare(block, 0, 6, block->data_out, length, TIMEOUT_LONG);
    block->cdb[0] = 0x0A;
    put_be24(block->cdb + 2, length);
    return by_sense_key(uscsi_cmd(fd, &r, verbose, &block->result), block, 2);
}
