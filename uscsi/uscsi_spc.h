// SPC commands: every builder fills the caller's block, issues it with
// uscsi_cmd and returns its result (0, the SCSI status byte, or -1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "uscsi_generic.h"

int test_unit_ready(int fd, scsi_cmd_block *block, int verbose);
int request_sense(int fd, scsi_cmd_block *block, int verbose);
// Standard INQUIRY data into inq_data, the unit serial number in bytes 36-47.
int inquiry(int fd, scsi_cmd_block *block, int verbose);
int write_buffer(int fd, scsi_cmd_block *block, uint32_t length, uint32_t offset,
                 int control, int mode, int buffer_id, int verbose);
int send_diagnostic(int fd, scsi_cmd_block *block, int bits, uint32_t length,
                    int verbose);
// size: capacity of data_in; the page is never read past it.
int receive_diagnostic(int fd, scsi_cmd_block *block, int bits, int page,
                       size_t size, int verbose);
int log_select(int fd, scsi_cmd_block *block, int page_control, uint32_t length,
               int reset, int verbose);
int log_sense(int fd, scsi_cmd_block *block, int page, uint32_t length,
              uint32_t parameter_pointer, int verbose);
int mode_select(int fd, scsi_cmd_block *block, int save, int verbose);
int mode_sense(int fd, scsi_cmd_block *block, int page, int verbose);
int read_buffer(int fd, scsi_cmd_block *block, uint32_t length, uint32_t offset,
                int control, int mode, int buffer_id, int verbose);
