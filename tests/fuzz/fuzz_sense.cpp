// scsi_printerr on any sense bytes and request, string_dump on any label,
// data, format and text buffer.
//
// Input: sense count byte (1-20), the sense bytes, CDB length byte (0-16),
// the CDB bytes, the bytes of the request record; then for the dump: label
// length byte, label, format byte, dump length (16 bits, signed), text
// buffer size (16 bits), length of the text already there (16 bits), and
// the data.
#include <cstdio>
#include <cstring>
#include <memory>

#include "uscsi_generic.h"
#include "fuzz_input.h"

namespace {

const char *const key_texts[16] = {
    "No sense error",     "Recoverable error", "Not ready error",   "Medium error",
    "Hardware error",     "Illegal request",   "Unit attention error", "Write protect error",
    "Blank check error",  "Vendor unique error", "Copy aborted error", "Aborted command",
    "Equal error",        "Volume overflow",   "Miscompare error",  "Reserved error",
};

void error_text(fuzz::input &in)
{
    const int count = 1 + in.byte() % 20;
    // Exactly as many bytes as were received: nothing beyond them is read.
    auto sense = std::make_unique<unsigned char[]>(static_cast<size_t>(count));
    const std::string s = in.take(static_cast<size_t>(count));
    memset(sense.get(), 0, static_cast<size_t>(count));
    memcpy(sense.get(), s.data(), s.size());

    const uint8_t cdblen = in.byte() % 17;
    auto cdb = std::make_unique<unsigned char[]>(cdblen ? cdblen : 1);
    const std::string c = in.take(cdblen);
    memset(cdb.get(), 0, cdblen ? cdblen : 1);
    memcpy(cdb.get(), c.data(), c.size());

    uscsi_request request;
    const std::string raw = in.take(sizeof request);
    memset(&request, 0, sizeof request);
    memcpy(&request, raw.data(), raw.size());
    request.req_cdb = cdb.get();
    request.req_cdblen = cdblen;

    // The text buffer of the error message, no larger.
    auto text = std::make_unique<char[]>(P_ERROR_MSG_SIZE);
    memset(text.get(), 'x', P_ERROR_MSG_SIZE);
    scsi_printerr(&request, sense.get(), count, text.get());

    const size_t len = strnlen(text.get(), P_ERROR_MSG_SIZE);
    FUZZ_CHECK(len < P_ERROR_MSG_SIZE);
    // The whole text fits: it ends with the last line of the sense dump.
    FUZZ_CHECK(len > 0 && text[len - 1] == '\n');
    const char *key = key_texts[count > 2 ? sense[2] & 0x0F : 0];
    FUZZ_CHECK(strncmp(text.get(), key, strlen(key)) == 0);
    FUZZ_CHECK(strstr(text.get(), "sense:  ") != nullptr);
}

// Characters one dump of `length` bytes adds.
size_t dump_length(size_t label, int length, int format)
{
    size_t total = 0;
    for (int line = 0; line < length; line += 16) {
        const int n = length - line < 16 ? length - line : 16;
        total += label + 3 * static_cast<size_t>(n) + 1;
        if (format == HEX_ASCII)
            total += 3 * static_cast<size_t>(16 - n) + 4 + static_cast<size_t>(n);
    }
    return total;
}

void dump_text(fuzz::input &in)
{
    // Labels are fixed texts of at most 255 characters, without zeros.
    std::string label = in.take(in.byte());
    for (char &ch : label) {
        if (ch == '\0')
            ch = ' ';
    }
    const int format = in.byte() & 1;
    int length = static_cast<int16_t>(in.u16());
    const size_t text_size = 1 + in.u16() % 4096;
    const size_t prefix = in.u16() % text_size;
    const std::string bytes = in.rest();
    if (length > static_cast<int>(bytes.size()))
        length = static_cast<int>(bytes.size());
    auto data = std::make_unique<unsigned char[]>(bytes.size() + 1);
    memcpy(data.get(), bytes.data(), bytes.size());

    auto text = std::make_unique<char[]>(text_size);
    memset(text.get(), 'p', prefix);
    text[prefix] = '\0';
    string_dump(label.c_str(), data.get(), length, format, text.get(), text_size);

    const size_t len = strnlen(text.get(), text_size);
    FUZZ_CHECK(len < text_size);
    FUZZ_CHECK(len >= prefix && memchr(text.get(), '\0', prefix) == nullptr);
    const size_t want = prefix + dump_length(label.size(), length, format);
    if (want < text_size)
        FUZZ_CHECK(len == want);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in{data, size};
    error_text(in);
    dump_text(in);
    return 0;
}
