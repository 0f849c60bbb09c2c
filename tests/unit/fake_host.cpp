#include "fake_host.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <unistd.h>

#include "uscsi_host.h"

namespace fake_host {

std::function<reply(const command &)> handler;
std::vector<command> requests;
long max_transfer = 0;
static std::deque<reply> queue;

reply check_condition(uint8_t key, uint8_t asc)
{
    return reply{-1, EIO, 2, {}, {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0, 0, 0, 0, 0}};
}

void push(reply r) { queue.push_back(std::move(r)); }

void reset()
{
    requests.clear();
    queue.clear();
    handler = nullptr;
    max_transfer = 0;
}

} // namespace fake_host

int uscsi_host_ioctl(int, uscsi_request *q, scsi_result *out)
{
    using namespace fake_host;
    const bool reads = (q->req_flags & USCSI_READ) != 0;
    requests.push_back({bytes(q->req_cdb, q->req_cdb + q->req_cdblen),
                   reads || !q->req_bufaddr ? bytes() : bytes(q->req_bufaddr, q->req_bufaddr + q->req_buflen),
                   q->req_flags, q->req_timeout, q->req_buflen, q->req_bufaddr});
    reply r = queue.empty() ? handler ? handler(requests.back()) : reply() : queue.front();
    if (!queue.empty())
        queue.pop_front();
    if (reads && q->req_bufaddr)
        std::copy_n(r.data_in.begin(), std::min<size_t>(r.data_in.size(), q->req_buflen), q->req_bufaddr);
    const size_t sensed = q->req_sensebuf && r.status == 2 ? std::min<size_t>(r.sense.size(), q->req_senselen) : 0;
    std::copy_n(r.sense.begin(), sensed, q->req_sensebuf);
    q->req_status = r.status;
    q->req_senseresid = static_cast<uint8_t>(q->req_senselen - sensed);
    out->status = static_cast<uint8_t>(r.status);
    out->err = r.status ? 0 : r.err;
    out->resid = reads ? q->req_buflen - std::min<uint32_t>(q->req_buflen, static_cast<uint32_t>(r.data_in.size())) : 0;
    errno = r.err;
    return r.result;
}

long uscsi_host_max_transfer(int) { return fake_host::max_transfer; }

bool uscsi_host_is_scsi_node(const char *) { return true; }

bool uscsi_host_locate(const char *, scsi_address *out)
{
    *out = {};
    return false;
}

int uscsi_host_hold(int, const char *, bool) { return 0; }

void uscsi_host_release(int fd) { close(fd); }
