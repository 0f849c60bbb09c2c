// The Linux host call: the request onto sg_io_hdr and back, reset
// operations, and what the host call does with nodes that are not SCSI.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "uscsi_host.h"
#include "uscsi_linux_map.h"

namespace {

struct request_fixture {
    unsigned char cdb[16] = {0x12, 0, 0, 0, 0x30, 0};
    unsigned char data[64] = {};
    unsigned char sense[20] = {};
    uscsi_request req = {};

    request_fixture(int32_t flags, uint32_t buflen, int16_t timeout)
    {
        req.req_flags = flags;
        req.req_cdb = cdb;
        req.req_cdblen = 6;
        req.req_bufaddr = data;
        req.req_buflen = buflen;
        req.req_timeout = timeout;
        req.req_senselen = sizeof sense;
        req.req_sensebuf = sense;
    }
};

TEST(SgIoHeader, DirectionAndTransfer)
{
    const struct {
        int32_t flags;
        uint32_t buflen;
        int direction;
        bool has_buffer;
    } cases[] = {
        {USCSI_READ | USCSI_RQENABLE, 48, SG_DXFER_FROM_DEV, true},
        {USCSI_RQENABLE, 48, SG_DXFER_TO_DEV, true},
        {USCSI_READ | USCSI_RQENABLE, 0, SG_DXFER_NONE, false}, // read bit without data
        {USCSI_RQENABLE, 0, SG_DXFER_NONE, false},
        {USCSI_READ, 64, SG_DXFER_FROM_DEV, true},
    };
    for (const auto &c : cases) {
        request_fixture f(c.flags, c.buflen, 10);
        sg_io_hdr_t hdr;
        memset(&hdr, 0xA5, sizeof hdr);
        uscsi_to_sg_io(f.req, &hdr);
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(hdr.interface_id, 'S');
        EXPECT_EQ(hdr.dxfer_direction, c.direction);
        EXPECT_EQ(hdr.dxfer_len, c.buflen);
        EXPECT_EQ(hdr.dxferp, c.has_buffer ? static_cast<void *>(f.data) : nullptr);
        EXPECT_EQ(hdr.cmdp, f.cdb);
        EXPECT_EQ(hdr.cmd_len, 6);
        EXPECT_EQ(hdr.iovec_count, 0);
        EXPECT_EQ(hdr.flags, 0u);
    }
}

TEST(SgIoHeader, SenseOnlyWithRequestSenseEnabled)
{
    request_fixture with(USCSI_RQENABLE, 0, 10);
    sg_io_hdr_t hdr;
    uscsi_to_sg_io(with.req, &hdr);
    EXPECT_EQ(hdr.sbp, with.sense);
    EXPECT_EQ(hdr.mx_sb_len, 20);

    // The host-side bits have no SG_IO counterpart and change nothing.
    request_fixture without(USCSI_SILENT | USCSI_DIAGNOSE | USCSI_ISOLATE | USCSI_NOTAG, 0, 10);
    uscsi_to_sg_io(without.req, &hdr);
    EXPECT_EQ(hdr.sbp, nullptr);
    EXPECT_EQ(hdr.mx_sb_len, 0);
    EXPECT_EQ(hdr.flags, 0u);
}

TEST(SgIoHeader, TimeoutInMilliseconds)
{
    for (const auto &[seconds, ms] : {std::pair<int16_t, unsigned>{10, 10000},
                                      {60, 60000},
                                      {4500, 4500000},
                                      {18000, 18000000},
                                      {0, 0}}) {
        request_fixture f(USCSI_RQENABLE, 0, seconds);
        sg_io_hdr_t hdr;
        uscsi_to_sg_io(f.req, &hdr);
        EXPECT_EQ(hdr.timeout, ms) << seconds;
    }
}

sg_io_hdr_t answered(unsigned char status, unsigned short host, unsigned short driver,
                     int resid = 0, unsigned char sb_len_wr = 0)
{
    sg_io_hdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.status = status;
    hdr.host_status = host;
    hdr.driver_status = driver;
    hdr.resid = resid;
    hdr.sb_len_wr = sb_len_wr;
    return hdr;
}

TEST(SgIoResult, Mapping)
{
    const struct {
        const char *what;
        sg_io_hdr_t hdr;
        int ioctl_result, ioctl_errno;
        int result, err;
        int16_t status;
    } cases[] = {
        {"good", answered(0, 0, 0), 0, 0, 0, 0, 0},
        {"check condition", answered(0x02, 0, 0x08, 0, 18), 0, 0, -1, EIO, 0x02},
        {"busy", answered(0x08, 0, 0), 0, 0, -1, EIO, 0x08},
        {"status wins over host error", answered(0x02, 0x07, 0), 0, 0, -1, EIO, 0x02},
        {"timed out (host)", answered(0, 0x03, 0), 0, 0, -1, ETIMEDOUT, 0},
        {"timed out (driver)", answered(0, 0, 0x06), 0, 0, -1, ETIMEDOUT, 0},
        {"timed out (driver, suggest bits)", answered(0, 0, 0x26), 0, 0, -1, ETIMEDOUT, 0},
        {"no connect", answered(0, 0x01, 0), 0, 0, -1, ENODEV, 0},
        {"bad target", answered(0, 0x04, 0), 0, 0, -1, ENODEV, 0},
        {"other host error", answered(0, 0x07, 0), 0, 0, -1, EIO, 0},
        {"driver error", answered(0, 0, 0x01), 0, 0, -1, EIO, 0},
        {"driver suggest bits only", answered(0, 0, 0x10), 0, 0, 0, 0, 0},
        {"ioctl failed", answered(0, 0, 0), -1, ENOTTY, -1, ENOTTY, 0},
        {"ioctl failed, EINVAL", answered(0, 0, 0), -1, EINVAL, -1, EINVAL, 0},
    };
    for (const auto &c : cases) {
        request_fixture f(USCSI_RQENABLE, 0, 10);
        f.req.req_status = 0x55;
        errno = 0;
        const int result = uscsi_from_sg_io(c.hdr, c.ioctl_result, c.ioctl_errno, &f.req);
        const int err = errno;
        EXPECT_EQ(result, c.result) << c.what;
        if (c.result != 0) {
            EXPECT_EQ(err, c.err) << c.what;
        }
        EXPECT_EQ(f.req.req_status, c.status) << c.what;
    }
}

TEST(SgIoResult, ResidualsWrittenBack)
{
    request_fixture f(USCSI_RQENABLE | USCSI_READ, 64, 10);
    EXPECT_EQ(uscsi_from_sg_io(answered(0x02, 0, 0x08, 40, 18), 0, 0, &f.req), -1);
    EXPECT_EQ(f.req.req_resid, 40u);
    EXPECT_EQ(f.req.req_senseresid, 2);

    EXPECT_EQ(uscsi_from_sg_io(answered(0, 0, 0, 0, 0), 0, 0, &f.req), 0);
    EXPECT_EQ(f.req.req_resid, 0u);
    EXPECT_EQ(f.req.req_senseresid, 20);

    EXPECT_EQ(uscsi_from_sg_io(answered(0x02, 0, 0x08, 0, 20), 0, 0, &f.req), -1);
    EXPECT_EQ(f.req.req_senseresid, 0);
}

TEST(Reset, Operations)
{
    EXPECT_EQ(uscsi_reset_op(USCSI_RESET), SG_SCSI_RESET_TARGET | SG_SCSI_RESET_NO_ESCALATE);
    EXPECT_EQ(uscsi_reset_op(USCSI_RESET_ALL), SG_SCSI_RESET_BUS | SG_SCSI_RESET_NO_ESCALATE);
    EXPECT_EQ(uscsi_reset_op(USCSI_RESET | USCSI_RQENABLE | USCSI_SILENT),
              SG_SCSI_RESET_TARGET | SG_SCSI_RESET_NO_ESCALATE);
    // The kernel's values, so the headers in use cannot drift from them.
    EXPECT_EQ(SG_SCSI_RESET_TARGET, 4);
    EXPECT_EQ(SG_SCSI_RESET_BUS, 2);
    EXPECT_EQ(SG_SCSI_RESET_NO_ESCALATE, 0x100);
}

// A node that is not SCSI: the host call reports the kernel's refusal and
// offers no transfer limit.
class NotScsi : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/host_linux_XXXXXX";
        fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path = name;
    }
    void TearDown() override
    {
        close(fd);
        unlink(path.c_str());
    }
    int fd = -1;
    std::string path;
};

TEST_F(NotScsi, CommandsFailWithTheKernelsErrno)
{
    request_fixture f(USCSI_RQENABLE | USCSI_READ, 48, 10);
    errno = 0;
    EXPECT_EQ(uscsi_host_ioctl(fd, &f.req), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(f.req.req_status, 0);
    EXPECT_EQ(f.req.req_senseresid, 20);

    request_fixture r(USCSI_RESET, 0, 0);
    EXPECT_EQ(uscsi_host_ioctl(fd, &r.req), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(NotScsi, NoTransferLimit)
{
    EXPECT_EQ(uscsi_host_max_transfer(fd), 0);
}

TEST_F(NotScsi, OnlyDeviceNodesOfScsiDevicesPass)
{
    EXPECT_FALSE(uscsi_host_is_scsi_node(path.c_str()));          // regular file
    EXPECT_FALSE(uscsi_host_is_scsi_node("/tmp"));                // directory
    EXPECT_FALSE(uscsi_host_is_scsi_node("/nonexistent/node"));
    // /dev/null is a character node, but of no SCSI device.
    if (access("/sys/dev/char/1:3", F_OK) == 0) {
        EXPECT_FALSE(uscsi_host_is_scsi_node("/dev/null"));
    } else if (access("/sys/dev", F_OK) != 0) {
        EXPECT_TRUE(uscsi_host_is_scsi_node("/dev/null"));
    }
}

} // namespace
