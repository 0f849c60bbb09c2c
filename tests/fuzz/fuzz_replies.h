// Device answers scripted by the fuzz input, for the test double of the
// host call. Each command takes one record from the script:
//   kind, length, length bytes of data
// (a length byte of 255 is followed by a second byte added to it, so a
// whole page of 256 bytes and more can be given)
// kind % 5: 0 GOOD with the data as data-in, 1 CHECK CONDITION with the
// data as sense, 2 the host call fails (errno from the first data byte),
// 3 BUSY status, 4 GOOD with the data and a residual count of its first
// byte. Once the script is used up every command gets GOOD with no data.
#pragma once

#include <cerrno>
#include <functional>
#include <memory>
#include <string>

#include "fake_host.h"
#include "fuzz_input.h"

namespace fuzz {

// after_script: the answers once the script is used up (GOOD when unset).
inline void script_replies(
    const std::string &script,
    std::function<fake_host::reply(const fake_host::command &)> after_script = nullptr)
{
    fake_host::reset();
    auto in = std::make_shared<std::string>(script);
    auto pos = std::make_shared<size_t>(0);
    fake_host::handler = [in, pos, after_script](const fake_host::command &c) {
        input r{reinterpret_cast<const uint8_t *>(in->data()), in->size(), *pos};
        fake_host::reply out;
        if (r.left() == 0)
            return after_script ? after_script(c) : out;
        const uint8_t kind = r.byte() % 5;
        size_t length = r.byte();
        if (length == 255)
            length += r.byte();
        const std::string bytes = r.take(length);
        *pos = r.pos;
        switch (kind) {
        case 0:
            out.data_in.assign(bytes.begin(), bytes.end());
            break;
        case 1:
            out.result = -1;
            out.err = EIO;
            out.status = 2;
            out.sense.assign(bytes.begin(), bytes.end());
            break;
        case 2:
            out.result = -1;
            out.err = bytes.empty() ? EIO : 1 + static_cast<unsigned char>(bytes[0]) % 133;
            break;
        case 3:
            out.result = -1;
            out.err = EIO;
            out.status = 8;
            break;
        default:
            out.data_in.assign(bytes.begin(), bytes.end());
            out.resid = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
            break;
        }
        return out;
    };
}

} // namespace fuzz
