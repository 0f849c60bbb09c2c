// Test double of the host call.
#include "fake_host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "uscsi_host.h"

namespace fake_host {

std::function<reply(const command &)> handler;
long max_transfer = 0;
std::function<bool(const char *)> is_scsi_node;

namespace {
std::vector<command> commands;
std::deque<reply> queue;
} // namespace

reply check_condition(uint8_t key, uint8_t asc, uint8_t ascq)
{
    reply r;
    r.result = -1;
    r.err = EIO;
    r.status = 2;
    r.sense.assign(18, 0);
    r.sense[0] = 0x70;
    r.sense[2] = key;
    r.sense[7] = 10;
    r.sense[12] = asc;
    r.sense[13] = ascq;
    return r;
}

void reset()
{
    commands.clear();
    queue.clear();
    handler = nullptr;
    max_transfer = 0;
    is_scsi_node = nullptr;
}

void push(reply r)
{
    queue.push_back(std::move(r));
}

const std::vector<command> &log()
{
    return commands;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
        s += b;
    }
    return s;
}

} // namespace fake_host

using namespace fake_host;

int uscsi_host_ioctl(int fd, uscsi_request *request)
{
    command c;
    c.fd = fd;
    c.cdb.assign(request->req_cdb, request->req_cdb + request->req_cdblen);
    c.flags = request->req_flags;
    c.timeout = request->req_timeout;
    c.buflen = request->req_buflen;
    c.has_buffer = request->req_bufaddr != nullptr;
    c.bufaddr = request->req_bufaddr;
    c.senselen = request->req_senselen;
    c.has_sensebuf = request->req_sensebuf != nullptr;
    const auto *raw = reinterpret_cast<const uint8_t *>(request);
    c.request_bytes.assign(raw, raw + sizeof *request);
    const bool reads = (request->req_flags & USCSI_READ) != 0;
    if (!reads && request->req_bufaddr && request->req_buflen)
        c.data_out.assign(request->req_bufaddr, request->req_bufaddr + request->req_buflen);
    commands.push_back(c);

    reply r;
    if (!queue.empty()) {
        r = std::move(queue.front());
        queue.pop_front();
    } else if (handler) {
        r = handler(c);
    }

    if (reads && request->req_bufaddr) {
        const size_t n = r.data_in.size() < request->req_buflen ? r.data_in.size()
                                                                : request->req_buflen;
        if (n > 0)
            memcpy(request->req_bufaddr, r.data_in.data(), n);
    }
    size_t sense_written = 0;
    if (request->req_sensebuf && r.status == 2) {
        sense_written = r.sense.size() < request->req_senselen ? r.sense.size()
                                                               : request->req_senselen;
        if (sense_written > 0)
            memcpy(request->req_sensebuf, r.sense.data(), sense_written);
    }
    request->req_status = r.status;
    request->req_resid = r.resid;
    request->req_senseresid = static_cast<uint8_t>(request->req_senselen - sense_written);
    if (r.result != 0)
        errno = r.err;
    return r.result;
}

long uscsi_host_max_transfer(int)
{
    return max_transfer;
}

bool uscsi_host_is_scsi_node(const char *path)
{
    return is_scsi_node ? is_scsi_node(path) : true;
}
