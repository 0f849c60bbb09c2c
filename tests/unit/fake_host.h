// Test double of the host call (uscsi_host.h), linked in place of the Linux
// host file: scripted device answers in, the requests as handed over out.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace fake_host {

using bytes = std::vector<uint8_t>;

struct command {
    bytes cdb, data_out; // data_out: the buffer, unless the device fills it
    int32_t flags;
    int16_t timeout;
    uint32_t buflen;
    const unsigned char *bufaddr;
};

struct reply {
    int result = 0, err = 0, status = 0; // of the host call, errno when it is -1, the SCSI status
    bytes data_in = {}, sense = {};
};

// Pushed replies answer first, then the handler, else GOOD without data.
void push(reply r);
extern std::function<reply(const command &)> handler;
extern std::vector<command> requests;
extern long max_transfer;
void reset();
reply check_condition(uint8_t key, uint8_t asc);

} // namespace fake_host
