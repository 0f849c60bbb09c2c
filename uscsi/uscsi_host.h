// The host call: all platform knowledge of the pass-through lives behind
// these functions (uscsi_linux.cpp in the product, a test double in tests).
#pragma once

#include "uscsi_generic.h"

// Takes the place of ioctl(fd, USCSICMD, request): 0 when the command
// completed with GOOD status, else -1 with errno set; req_status, req_resid
// and req_senseresid filled. A reset bit in req_flags asks for a reset.
// *result gets everything the host learnt of the command but the decoded sense.
int uscsi_host_ioctl(int fd, uscsi_request *request, scsi_result *result);

// Largest transfer the host takes on this descriptor, in bytes; 0 unknown.
long uscsi_host_max_transfer(int fd);

// True when path is a character or block node of a SCSI device (or when
// the host offers no way to tell), and not a generic node of a device that
// has a tape, changer or CD node of its own.
bool uscsi_host_is_scsi_node(const char *path);

// Where a node leads, read from sysfs alone: no command is sent.
struct scsi_address {
    int host = -1, channel = -1, target = -1, lun = -1; // H:C:T:L
    char generic[32] = {}; // the device's generic node, "" when it has none
};
// The same SCSI device (H:C:T:L); the generic node is not compared.
inline bool same_address(const scsi_address &a, const scsi_address &b)
{
    return a.host == b.host && a.channel == b.channel && a.target == b.target && a.lun == b.lun;
}
// false, with errno set (ENXIO when the node leads to no SCSI device), when
// the host cannot tell; such a node stands for a device of its own.
bool uscsi_host_locate(const char *path, scsi_address *out);

// Takes an advisory lock, shared by every run of brisk on this host, on the
// device behind fd: on its generic node (as found at listing; "" for none),
// else on fd itself. Every later command on fd goes through that generic
// node. -1 with errno EBUSY when another run holds the device (exclusively,
// or at all when `exclusive`).
int uscsi_host_hold(int fd, const char *generic, bool exclusive);
// Closes fd and whatever uscsi_host_hold took for it.
void uscsi_host_release(int fd);
