// Test double of the host call (uscsi_host.h), linked in place of the
// Linux host file. Each test scripts the device's answers and reads back
// the requests exactly as the core handed them to the host.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "uscsi_generic.h"

namespace fake_host {

// One request as it reached the host call.
struct command {
    int fd = -1;
    std::vector<uint8_t> cdb;          // req_cdblen bytes at req_cdb
    int32_t flags = 0;                 // req_flags as handed over
    int16_t timeout = 0;               // req_timeout, seconds
    uint32_t buflen = 0;               // req_buflen
    bool has_buffer = false;           // req_bufaddr != nullptr
    const unsigned char *bufaddr = nullptr;
    uint8_t senselen = 0;              // req_senselen
    bool has_sensebuf = false;         // req_sensebuf != nullptr
    std::vector<uint8_t> data_out;     // buffer contents when no read bit (whole buflen)
    std::vector<uint8_t> request_bytes; // the request record itself
};

// What the device (or the host) answers.
struct reply {
    int result = 0;                    // host call result: 0 or -1
    int err = 0;                       // errno when result is -1
    int16_t status = 0;                // req_status
    std::vector<uint8_t> data_in;      // copied to req_bufaddr (at most buflen) on a read
    std::vector<uint8_t> sense;        // copied to req_sensebuf (at most req_senselen)
    uint32_t resid = 0;
};

// CHECK CONDITION with 18 bytes of fixed-format sense.
reply check_condition(uint8_t key, uint8_t asc, uint8_t ascq = 0);

// Forget everything: log, queue, handler, settings.
void reset();
// Answers are taken from the queue first; when it is empty, the handler
// answers (when set), else GOOD with no data.
void push(reply r);
extern std::function<reply(const command &)> handler;
const std::vector<command> &log();

// uscsi_host_max_transfer answers this (default 0).
extern long max_transfer;
// uscsi_host_is_scsi_node answers through this (default: true).
extern std::function<bool(const char *)> is_scsi_node;

std::string hex(const std::vector<uint8_t> &bytes); // "12 01 80 00 04 00"

} // namespace fake_host
