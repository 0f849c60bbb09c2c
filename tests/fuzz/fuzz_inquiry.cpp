// INQUIRY (with the serial number page) and RECEIVE DIAGNOSTIC RESULTS
// against a device that answers anything: any status, any page header,
// page length and data.
//
// Input: command byte (bit 0 clear: INQUIRY, set: RECEIVE DIAGNOSTIC
// RESULTS), trace level byte (-1 to 3), the caller's buffer size (16 bits,
// below 600), byte-1 bits, page code, then the reply script
// (fuzz_replies.h).
#include <cstdio>
#include <cstring>
#include <memory>

#include "fake_host.h"
#include "fuzz_input.h"
#include "fuzz_replies.h"
#include "uscsi_spc.h"

namespace {

constexpr unsigned char CANARY = 0xA5;

bool all(const unsigned char *p, size_t n, unsigned char value)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != value)
            return false;
    }
    return true;
}

void check_inquiry(scsi_cmd_block *block, int verbose)
{
    unsigned char in_marker = 0;
    unsigned char out_marker = 0;
    block->data_in = &in_marker;
    block->data_out = &out_marker;
    inquiry(3, block, verbose);

    // Nothing of the block beyond the INQUIRY areas and the sense is written.
    FUZZ_CHECK(all(block->mode_data, MODE_DATA_LEN, CANARY));
    FUZZ_CHECK(all(block->sense_ext, SENSE_EXT_LEN, CANARY));
    FUZZ_CHECK(block->data_in == &in_marker && block->data_out == &out_marker);
    // vendor_data holds at most the 12 vendor-specific bytes, and only for STK.
    FUZZ_CHECK(all(block->vendor_data + 12, VENDOR_DATA_LEN - 12, 0));
    if (memcmp(block->inq_data + 8, "STK", 3) != 0)
        FUZZ_CHECK(all(block->vendor_data, VENDOR_DATA_LEN, 0));

    const auto &log = fake_host::log();
    FUZZ_CHECK(log.size() == 2 || log.size() == 3);
    for (const auto &c : log) {
        FUZZ_CHECK(c.cdb.size() == 6 && c.cdb[0] == 0x12);
        FUZZ_CHECK(c.buflen <= 255 + 4);
        FUZZ_CHECK(c.cdb[4] == (c.buflen & 0xFF));
    }
    FUZZ_CHECK(log.back().bufaddr == block->inq_data && log.back().buflen == INQ_LEN);
}

void check_receive(scsi_cmd_block *block, size_t size, int bits, int page, int verbose)
{
    // The caller's buffer, exactly as large as it says.
    auto buffer = std::make_unique<unsigned char[]>(size);
    block->data_in = buffer.get();
    const int result = receive_diagnostic(3, block, bits, page, size, verbose);

    FUZZ_CHECK(all(block->mode_data, MODE_DATA_LEN, CANARY));
    FUZZ_CHECK(all(block->inq_data, INQ_LEN, CANARY));
    FUZZ_CHECK(block->data_in == buffer.get());
    const auto &log = fake_host::log();
    FUZZ_CHECK(log.size() == 1 || log.size() == 2);
    // A failed header request ends the operation with its result.
    if (log.size() == 1)
        FUZZ_CHECK(result != 0);
    for (const auto &c : log) {
        FUZZ_CHECK(c.cdb.size() == 6 && c.cdb[0] == 0x1C);
        FUZZ_CHECK(c.buflen <= size);
        FUZZ_CHECK(c.bufaddr == buffer.get());
        FUZZ_CHECK(((c.cdb[3] << 8) | c.cdb[4]) == static_cast<int>(c.buflen));
        FUZZ_CHECK(c.cdb[2] == (page & 0xFF) && c.cdb[1] == (bits & 0x1F));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in{data, size};
    const uint8_t command = in.byte();
    const int verbose = in.byte() % 5 - 1;
    const size_t capacity = in.u16() % 600;
    const int bits = in.byte();
    const int page = in.byte();
    fuzz::script_replies(in.rest());

    auto block = std::make_unique<scsi_cmd_block>();
    memset(block.get(), CANARY, sizeof *block);
    if (command & 1)
        check_receive(block.get(), capacity, bits, page, verbose);
    else
        check_inquiry(block.get(), verbose);
    fake_host::reset();
    return 0;
}
