// The mapping of a host request onto the Linux SG_IO header and back,
// kept pure so it can be checked without a device.
#pragma once

#include <scsi/sg.h>

#include "uscsi_generic.h"

// Older C library headers lack the reset types of current kernels.
#ifndef SG_SCSI_RESET_TARGET
#define SG_SCSI_RESET_TARGET 4
#endif
#ifndef SG_SCSI_RESET_NO_ESCALATE
#define SG_SCSI_RESET_NO_ESCALATE 0x100
#endif

void uscsi_to_sg_io(const uscsi_request &request, sg_io_hdr_t *hdr);
// Fills req_status, req_resid, req_senseresid and, but for the decoded
// sense, *result; returns the host call's
// result and sets errno as the pass-through contract says.
int uscsi_from_sg_io(const sg_io_hdr_t &hdr, int ioctl_result, int ioctl_errno,
                     uscsi_request *request, scsi_result *result);
int uscsi_reset_op(int32_t req_flags);
