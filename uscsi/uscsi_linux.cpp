// The Linux host call: the pass-through request onto SG_IO, resets onto
// SG_SCSI_RESET, and the sysfs look-ups that tell SCSI nodes apart.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "uscsi_host.h"
#include "uscsi_linux_map.h"

namespace {

constexpr unsigned char DID_NO_CONNECT = 0x01;
constexpr unsigned char DID_TIME_OUT = 0x03;
constexpr unsigned char DID_BAD_TARGET = 0x04;
constexpr int HOLD_TRIES = 40;        // a listing by another run holds a device
constexpr int HOLD_PAUSE_US = 50000;  // for a moment only
constexpr unsigned char DRIVER_TIMEOUT = 0x06;
constexpr unsigned char DRIVER_MASK = 0x07;
constexpr unsigned SG_MAJOR = 21;
constexpr unsigned ST_MAJOR = 9;
// st's minor: the no-rewind bit over two bits of mode (0 to 3).
constexpr unsigned ST_NO_REWIND_MODE_BITS = 0xE0, ST_NO_REWIND_MODE_0 = 0x80;

// Owns a descriptor for the length of one request.
struct scoped_fd {
    int fd = -1;
    explicit scoped_fd(int f) : fd(f) {}
    ~scoped_fd()
    {
        if (fd >= 0)
            close(fd);
    }
    scoped_fd(const scoped_fd &) = delete;
    scoped_fd &operator=(const scoped_fd &) = delete;
};

std::string sysfs_device_dir(const struct stat &st)
{
    char buf[64];
    snprintf(buf, sizeof buf, "/sys/dev/%s/%u:%u/device", S_ISBLK(st.st_mode) ? "block" : "char",
             major(st.st_rdev), minor(st.st_rdev));
    return buf;
}

bool readable(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

// True when st, ch or sr made a node of their own for the SCSI device
// whose sysfs directory is dir.
bool has_own_driver_node(const std::string &dir)
{
    if (access((dir + "/scsi_tape").c_str(), F_OK) == 0 ||
        access((dir + "/scsi_changer").c_str(), F_OK) == 0)
        return true;
    bool sr = false;
    if (DIR *d = opendir((dir + "/block").c_str())) {
        while (const dirent *e = readdir(d))
            sr = sr || strncmp(e->d_name, "sr", 2) == 0;
        closedir(d);
    }
    return sr;
}

// The SCSI generic node of the device behind a node of this status, or ""
// when it has none (sg not loaded, no sysfs entry) or is one itself.
std::string generic_node(const struct stat &st)
{
    if (!(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) ||
        (S_ISCHR(st.st_mode) && major(st.st_rdev) == SG_MAJOR))
        return "";
    std::string found;
    if (DIR *d = opendir((sysfs_device_dir(st) + "/scsi_generic").c_str())) {
        while (const dirent *e = readdir(d)) {
            if (strncmp(e->d_name, "sg", 2) == 0) {
                found = std::string("/dev/") + e->d_name;
                break;
            }
        }
        closedir(d);
    }
    return found;
}

// generic_node of the node behind fd ("" when its fstat tells nothing).
std::string generic_node_of(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? generic_node(st) : "";
}

// Descriptors held by uscsi_host_hold: the generic node's own descriptor
// (-1 when the lock sits on the held descriptor itself).
std::map<int, int> held;

// st keeps a tape node unusable after a reset until the next load, while
// the generic node keeps working: requests go through the generic node
// whenever the device has one. The caller's descriptor stays open, so the
// drive stays claimed. A held device keeps the generic node it was listed
// with: the same minor may have been given to another device since.
int route(int fd, scoped_fd &holder)
{
    if (const auto h = held.find(fd); h != held.end())
        return h->second >= 0 ? h->second : fd;
    const std::string sg = generic_node_of(fd);
    if (sg.empty())
        return fd;
    holder.fd = open(sg.c_str(), O_RDWR | O_NONBLOCK);
    return holder.fd >= 0 ? holder.fd : fd;
}

} // namespace

void uscsi_to_sg_io(const uscsi_request &request, sg_io_hdr_t *hdr)
{
    memset(hdr, 0, sizeof *hdr);
    hdr->interface_id = 'S';
    if (request.req_buflen == 0) {
        hdr->dxfer_direction = SG_DXFER_NONE;
        hdr->dxferp = nullptr;
        hdr->dxfer_len = 0;
    } else {
        hdr->dxfer_direction = (request.req_flags & USCSI_READ) ? SG_DXFER_FROM_DEV
                                                                 : SG_DXFER_TO_DEV;
        hdr->dxferp = request.req_bufaddr;
        hdr->dxfer_len = request.req_buflen;
    }
    hdr->cmdp = request.req_cdb;
    hdr->cmd_len = request.req_cdblen;
    if (request.req_flags & USCSI_RQENABLE) {
        hdr->sbp = request.req_sensebuf;
        hdr->mx_sb_len = request.req_sensebuf ? request.req_senselen : 0;
    }
    hdr->timeout = request.req_timeout > 0 ? static_cast<unsigned>(request.req_timeout) * 1000u
                                           : 0u;
}

int uscsi_from_sg_io(const sg_io_hdr_t &hdr, int ioctl_result, int ioctl_errno,
                     uscsi_request *request, scsi_result *result)
{
    if (ioctl_result != 0) {
        result->err = ioctl_errno;
    } else {
        result->status = hdr.status;
        result->host_status = hdr.host_status;
        result->driver_status = static_cast<uint8_t>(hdr.driver_status);
        result->resid = hdr.resid > 0 ? static_cast<uint32_t>(hdr.resid) : 0;
    }
    request->req_resid = ioctl_result == 0 ? static_cast<uint32_t>(hdr.resid) : 0;
    const unsigned written = ioctl_result == 0 ? hdr.sb_len_wr : 0;
    request->req_senseresid = static_cast<uint8_t>(
        written >= request->req_senselen ? 0 : request->req_senselen - written);
    if (!(request->req_flags & USCSI_RQENABLE) || !request->req_sensebuf)
        request->req_senseresid = request->req_senselen;

    if (ioctl_result != 0) {
        request->req_status = 0;
        errno = ioctl_errno;
        return -1;
    }
    if (hdr.status != 0) {
        request->req_status = hdr.status;
        errno = EIO;
        return -1;
    }
    request->req_status = 0;
    if (hdr.host_status != 0 || (hdr.driver_status & DRIVER_MASK) != 0) {
        if (hdr.host_status == DID_TIME_OUT || (hdr.driver_status & DRIVER_MASK) == DRIVER_TIMEOUT)
            errno = ETIMEDOUT;
        else if (hdr.host_status == DID_NO_CONNECT || hdr.host_status == DID_BAD_TARGET)
            errno = ENODEV;
        else
            errno = EIO;
        return -1;
    }
    return 0;
}

int uscsi_reset_op(int32_t req_flags)
{
    const int what = (req_flags & USCSI_RESET_ALL) ? SG_SCSI_RESET_BUS : SG_SCSI_RESET_TARGET;
    return what | SG_SCSI_RESET_NO_ESCALATE;
}

int uscsi_host_ioctl(int fd, uscsi_request *request, scsi_result *result)
{
    scoped_fd holder(-1);
    const int target = route(fd, holder);

    if (request->req_flags & (USCSI_RESET | USCSI_RESET_ALL)) {
        int op = uscsi_reset_op(request->req_flags);
        request->req_status = 0;
        request->req_resid = 0;
        request->req_senseresid = request->req_senselen;
        if (ioctl(target, SG_SCSI_RESET, &op) == 0)
            return 0;
        result->err = errno;
        return -1;
    }

    sg_io_hdr_t hdr;
    uscsi_to_sg_io(*request, &hdr);
    const int done = ioctl(target, SG_IO, &hdr);
    const int saved = errno;
    return uscsi_from_sg_io(hdr, done, saved, request, result);
}

long uscsi_host_max_transfer(int fd)
{
    scoped_fd g(-1);
    const int target = route(fd, g);
    if (target == fd)
        return 0;
    // On the generic node BLKSECTGET answers the queue's limit in bytes.
    int bytes = 0;
    if (ioctl(target, BLKSECTGET, &bytes) != 0 || bytes <= 0)
        return 0;
    return bytes;
}

bool uscsi_host_is_scsi_node(const char *path)
{
    // A symbolic link is no candidate: it leads to a node that /dev holds
    // itself, and a by-id name would stand cut short in the table.
    struct stat st;
    if (lstat(path, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
        return false;
    // Of st's nodes only nstN: the directory lists the mode nodes (nstNl,
    // nstNm, nstNa) too, often first, and operators know the drive as nstN.
    if (S_ISCHR(st.st_mode) && major(st.st_rdev) == ST_MAJOR &&
        (minor(st.st_rdev) & ST_NO_REWIND_MODE_BITS) != ST_NO_REWIND_MODE_0)
        return false;
    struct stat sysdev;
    if (stat("/sys/dev", &sysdev) != 0)
        return true;
    const std::string dir = sysfs_device_dir(st);
    if (!readable(dir + "/type") || !readable(dir + "/scsi_level"))
        return false;
    // A generic node is a way in only for a device that st, ch and sr do
    // not serve: while another program holds such a drive open its own
    // nodes refuse us, and its generic node would hand it over anyway.
    return !(S_ISCHR(st.st_mode) && major(st.st_rdev) == SG_MAJOR && has_own_driver_node(dir));
}

bool uscsi_host_locate(const char *path, scsi_address *out)
{
    *out = {};
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    auto none = [out] {
        *out = {};
        errno = ENXIO;
        return false;
    };
    if (!(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
        return none();
    // The device link ends in the SCSI device's own name, H:C:T:L.
    char link[PATH_MAX];
    const ssize_t n = readlink(sysfs_device_dir(st).c_str(), link, sizeof link - 1);
    if (n <= 0)
        return none();
    link[n] = '\0';
    const char *name = strrchr(link, '/');
    if (sscanf(name ? name + 1 : link, "%d:%d:%d:%d", &out->host, &out->channel, &out->target,
               &out->lun) != 4)
        return none();
    const std::string sg = generic_node(st);
    if (sg.size() < sizeof out->generic)
        memcpy(out->generic, sg.c_str(), sg.size() + 1);
    return true;
}

int uscsi_host_hold(int fd, const char *generic, bool exclusive)
{
    int lock_fd = fd;
    int own = -1;
    if (generic && generic[0]) {
        own = open(generic, O_RDWR | O_NONBLOCK);
        if (own < 0)
            return -1;
        lock_fd = own;
    }
    const int how = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int tries = exclusive ? HOLD_TRIES : 1;
    while (flock(lock_fd, how) != 0) {
        if (errno != EWOULDBLOCK || --tries <= 0) {
            const int e = errno == EWOULDBLOCK ? EBUSY : errno;
            if (own >= 0)
                close(own);
            errno = e;
            return -1;
        }
        usleep(HOLD_PAUSE_US);
    }
    held[fd] = own;
    return 0;
}

void uscsi_host_release(int fd)
{
    if (const auto h = held.find(fd); h != held.end()) {
        if (h->second >= 0)
            close(h->second);
        held.erase(h);
    }
    close(fd);
}
