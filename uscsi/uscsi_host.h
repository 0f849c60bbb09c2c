// The host call: all platform knowledge of the pass-through lives behind
// these functions (uscsi_linux.cpp in the product, a test double in tests).
#pragma once

#include "uscsi_generic.h"

// Takes the place of ioctl(fd, USCSICMD, request): 0 when the command
// completed with GOOD status, else -1 with errno set; req_status, req_resid
// and req_senseresid filled. A reset bit in req_flags asks for a reset.
int uscsi_host_ioctl(int fd, uscsi_request *request);

// Largest transfer the host takes on this descriptor, in bytes; 0 unknown.
long uscsi_host_max_transfer(int fd);

// True when path is a character or block node of a SCSI device (or when
// the host offers no way to tell), and not a generic node of a device that
// has a tape, changer or CD node of its own.
bool uscsi_host_is_scsi_node(const char *path);
