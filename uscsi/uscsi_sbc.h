// SBC (block and optical) commands.
#pragma once

#include <cstdint>

#include "uscsi_generic.h"

int start_stop_unit(int fd, scsi_cmd_block *block, int byte4, int verbose);
int format(int fd, scsi_cmd_block *block, int bits, int verbose);
int read_capacity(int fd, scsi_cmd_block *block, uint32_t lba, int pmi, int verbose);
// read_data, write_data: 0, 1 recovered error, -1 any other failure.
int read_data(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t count,
              uint32_t block_size, int verbose);
int read_defects(int fd, scsi_cmd_block *block, int format_byte, uint32_t length,
                 int verbose);
int read_long(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t length, int verbose);
int reassign(int fd, scsi_cmd_block *block, uint32_t lba, int timeout, int verbose);
// 0 or -1.
int seek(int fd, scsi_cmd_block *block, uint32_t lba, int verbose);
int write_data(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t count,
               uint32_t block_size, int verbose);
int write_long(int fd, scsi_cmd_block *block, uint32_t lba, uint32_t length, int verbose);
