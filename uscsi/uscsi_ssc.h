// SSC (tape) commands.
#pragma once

#include <cstdint>

#include "uscsi_generic.h"

// Six bytes into data_in: granularity, maximum (24 bits), minimum (16 bits).
int read_block_limits(int fd, scsi_cmd_block *block, int verbose);
int load_unload(int fd, scsi_cmd_block *block, int byte4, int verbose);
// One variable-length block from data_out: 0, 1 recovered, 2 no sense, -1.
int write_variable(int fd, scsi_cmd_block *block, uint32_t length, int verbose);
