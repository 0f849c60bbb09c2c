// The Linux host call's mapping of an answer back, for statuses no emulated or kernel-served device gives, and
// of the reset requests. (The request's mapping onto sg_io_hdr carries every command of the binary's runs.)
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "uscsi_linux_map.h"

namespace {

const int32_t R = USCSI_READ, RQ = USCSI_RQENABLE;

struct request {
    unsigned char cdb[6] = {0x12, 0, 0, 0, 0x30, 0}, data[64] = {}, sense[20] = {};
    uscsi_request req;
    request(int32_t flags, uint32_t buflen, int16_t timeout = 10)
        : req{flags, 0, timeout, cdb, data, buflen, 0, 6, sizeof sense, 0, 0, sense, nullptr} {}
};

TEST(SgIo, ResultAndReset)
{
    const struct { unsigned char status; unsigned short host, driver; int resid; unsigned char written;
                   int ioctl_result, ioctl_errno, result, err, resid_back, senseresid; } rows[] = {
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20},
        {0x02, 0, 0x08, 40, 18, 0, 0, -1, EIO, 40, 2},     // CHECK CONDITION
        {0x02, 0, 0x08, 0, 20, 0, 0, -1, EIO, 0, 0},
        {0x08, 0, 0, 0, 0, 0, 0, -1, EIO, 0, 20},          // BUSY
        {0x02, 0x07, 0, 0, 0, 0, 0, -1, EIO, 0, 20},       // the status wins over a host error
        {0, 0x03, 0, 0, 0, 0, 0, -1, ETIMEDOUT, 0, 20},    // the host timed out
        {0, 0, 0x26, 0, 0, 0, 0, -1, ETIMEDOUT, 0, 20},    // the driver did, with suggest bits
        {0, 0x01, 0, 0, 0, 0, 0, -1, ENODEV, 0, 20},       // no connect
        {0, 0x04, 0, 0, 0, 0, 0, -1, ENODEV, 0, 20},       // bad target
        {0, 0, 0x01, 0, 0, 0, 0, -1, EIO, 0, 20},
        {0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 20},             // suggest bits alone
        {0x02, 0, 0, 40, 18, -1, ENOTTY, -1, ENOTTY, 0, 20},
    };
    for (const auto &r : rows) {
        for (int32_t flags : {RQ | R, R}) {
            request q(flags, 64);
            sg_io_hdr_t hdr = {};
            std::tie(hdr.status, hdr.host_status, hdr.driver_status, hdr.resid, hdr.sb_len_wr) =
                std::tuple(r.status, r.host, r.driver, r.resid, r.written);
            errno = 0;
            scsi_result out = {};
            const int result = uscsi_from_sg_io(hdr, r.ioctl_result, r.ioctl_errno, &q.req, &out);
            // Without the request-sense bit no sense is expected back.
            EXPECT_EQ(std::tuple(result, errno, q.req.req_status, q.req.req_resid, q.req.req_senseresid),
                      std::tuple(r.result, r.err, r.ioctl_result ? 0 : r.status, r.resid_back,
                                 flags & RQ ? r.senseresid : 20)) << &r - rows;
            // The record keeps what the errno folds together.
            EXPECT_EQ(std::tuple(out.err, out.status, out.host_status, out.driver_status, out.resid),
                      std::tuple(r.ioctl_result ? r.ioctl_errno : 0, r.ioctl_result ? 0 : r.status,
                                 r.ioctl_result ? 0 : r.host, r.ioctl_result ? 0 : r.driver,
                                 uint32_t(r.resid_back))) << &r - rows;
        }
    }
    EXPECT_EQ(uscsi_reset_op(USCSI_RESET | RQ | USCSI_SILENT), SG_SCSI_RESET_TARGET | SG_SCSI_RESET_NO_ESCALATE);
    EXPECT_EQ(uscsi_reset_op(USCSI_RESET_ALL), SG_SCSI_RESET_BUS | SG_SCSI_RESET_NO_ESCALATE);
}

} // namespace
