// Shared steps of the command builders.
#pragma once

#include <cstring>

#include "uscsi_generic.h"

namespace uscsi_detail {

// Clears the request and the CDB and points the request at the block's CDB
// and sense buffer; the caller then fills the CDB bytes.
inline uscsi_request &prepare(scsi_cmd_block *block, int32_t flags, uint8_t cdblen,
                              unsigned char *buffer, uint32_t length, int16_t timeout)
{
    memset(&block->request, 0, sizeof block->request);
    memset(block->cdb, 0, sizeof block->cdb);
    // No command may read sense left behind by an earlier one.
    memset(block->sense, 0, SENSE_LEN);
    uscsi_request &r = block->request;
    r.req_flags = flags;
    r.req_cdb = block->cdb;
    r.req_cdblen = cdblen;
    r.req_senselen = SENSE_LEN;
    r.req_sensebuf = block->sense;
    r.req_bufaddr = buffer;
    r.req_buflen = length;
    r.req_timeout = timeout;
    return r;
}

constexpr int16_t TIMEOUT_SHORT = 10;
constexpr int16_t TIMEOUT_MEDIUM = 60;
constexpr int16_t TIMEOUT_LONG = 4500;
constexpr int16_t TIMEOUT_FORMAT = 18000;

// Result mapping of the data-moving builders from the sense key left by
// the failed command.
inline int by_sense_key(int result, const scsi_cmd_block *block, int no_sense_result)
{
    if (result == 0)
        return 0;
    if (!has_current_sense(block->result))
        return -1;
    const int key = block->result.sense.key;
    if (key == 1)
        return 1;
    if (key == 0)
        return no_sense_result;
    return -1;
}

} // namespace uscsi_detail
