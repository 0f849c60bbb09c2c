#include "model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "uscsi_bytes.h"

namespace emu {
namespace {

constexpr uint8_t CHECK_CONDITION = 0x02;
constexpr int DID_ERROR = 0x07;
// Beyond this an image is not microcode but a runaway offset.
constexpr long IMAGE_LIMIT = 256L << 20;

constexpr sense_code NO_SENSE{0, 0, 0};
constexpr sense_code INVALID_OPCODE{5, 0x20, 0};
constexpr sense_code INVALID_FIELD_CDB{5, 0x24, 0};
constexpr sense_code INVALID_FIELD_PARAM{5, 0x26, 0};
constexpr sense_code SEQUENCE_ERROR{5, 0x2C, 0};
constexpr sense_code BECOMING_READY{2, 0x04, 0x01};
constexpr sense_code NO_MEDIUM{2, 0x3A, 0};
constexpr sense_code NO_MEDIUM_TRAY_OPEN{2, 0x3A, 0x02};
constexpr sense_code MICROCODE_CHANGED{6, 0x3F, 0x01};
constexpr sense_code RESET_OCCURRED{6, 0x29, 0};
constexpr sense_code TARGET_FAILURE{4, 0x44, 0};

// The device asks for more data-out bytes than the initiator offers.
reply short_data_out()
{
    reply r;
    r.host_status = DID_ERROR;
    return r;
}

// SAM command length by group code.
size_t cdb_length(uint8_t op)
{
    switch (op >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;
    }
}

void put_text(bytes &buf, size_t at, size_t width, const std::string &text)
{
    for (size_t i = 0; i < width; ++i)
        buf[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

reply data(bytes payload, size_t alloc, size_t capacity)
{
    reply r;
    payload.resize(std::min({payload.size(), alloc, capacity}));
    r.data_in = std::move(payload);
    return r;
}

std::string bumped(std::string rev)
{
    for (auto it = rev.rbegin(); it != rev.rend(); ++it) {
        char &c = *it;
        if (c >= '0' && c < '9') { ++c; return rev; }
        if (c == '9') { c = '0'; continue; }
        if ((c >= 'A' && c < 'Z') || (c >= 'a' && c < 'z')) { ++c; return rev; }
    }
    return rev.empty() ? "0001" : "N" + rev.substr(1);
}

} // namespace

bytes sense_data(sense_code code, bool descriptor, bool deferred)
{
    if (descriptor)
        return {static_cast<uint8_t>(deferred ? 0x73 : 0x72), static_cast<uint8_t>(code.key & 0x0F),
                code.asc, code.ascq, 0, 0, 0, 0};
    bytes s(18, 0);
    s[0] = deferred ? 0x71 : 0x70;
    s[2] = code.key & 0x0F;
    s[7] = 10;
    s[12] = code.asc;
    s[13] = code.ascq;
    return s;
}

std::optional<sense_code> parse_sense(const std::string &text)
{
    unsigned key = 0, asc = 0, ascq = 0;
    char tail = 0;
    const int n = sscanf(text.c_str(), "%x/%x/%x%c", &key, &asc, &ascq, &tail);
    if (n != 3 || key > 0xF || asc > 0xFF || ascq > 0xFF)
        return std::nullopt;
    return sense_code{static_cast<uint8_t>(key), static_cast<uint8_t>(asc),
                      static_cast<uint8_t>(ascq)};
}

device::device(device_config config)
    : cfg_(std::move(config)), medium_(cfg_.medium), revision_(cfg_.revision),
      serial_(cfg_.serial)
{
    if (cfg_.new_revision.empty())
        cfg_.new_revision = bumped(cfg_.revision);
    if (cfg_.initial_attention)
        attention_.push_back(*cfg_.initial_attention);
}

// `pending`: as if the download waiting for its activation were activated.
bool device::flashing(double now, bool pending) const
{
    const std::optional<double> until =
        pending && last_download_ ? *last_download_ + cfg_.flash_seconds : flash_until_;
    return until && (cfg_.never_ready_after_flash || now < *until);
}

reply device::check(sense_code code, bool deferred) const
{
    reply r;
    r.status = CHECK_CONDITION;
    r.sense = sense_data(code, cfg_.descriptor_sense, deferred);
    return r;
}

void device::activate(double when)
{
    if (cfg_.id_stride > 0 || !image_.empty())
        activated_ = image_;
    image_.clear();
    received_ = 0;
    last_download_.reset();
    ++activations_;
    flash_until_ = when + cfg_.flash_seconds;
}

// Brings the state up to `now`: a finished transfer is activated, and a
// finished flash ends with the new revision and a unit attention.
void device::settle(double now)
{
    if (flash_until_ && !cfg_.never_ready_after_flash && now >= *flash_until_) {
        flash_until_.reset();
        flashed_ = true;
        revision_ = cfg_.new_revision;
        if (cfg_.serial_after_flash)
            serial_ = cfg_.serial_after_flash;
        attention_.push_back(MICROCODE_CHANGED);
    }
}

void device::finish(double now)
{
    if (last_download_)
        activate(*last_download_);
    settle(now);
}

void device::abort_download()
{
    image_.clear();
    received_ = 0;
    last_download_.reset();
}

int device::reset_fault()
{
    const int n = ++seen_[0x100];
    for (const fault_rule &rule : cfg_.faults)
        if (rule.opcode == 0x100 && rule.covers(n))
            return rule.err;
    return 0;
}

void device::reset(double now)
{
    settle(now);
    if (last_download_)
        activate(*last_download_);
    attention_.push_back(RESET_OCCURRED);
    was_reset_ = true;
}

reply device::command(const bytes &cdb, const bytes &data_out, size_t data_in_len, double now)
{
    const uint8_t op = cdb.empty() ? 0xFF : cdb[0];
    // A command other than WRITE BUFFER activates a waiting download first.
    const bool busy = flashing(now, op != 0x3B);
    reply r = answer(cdb, data_out, data_in_len, now);
    if (busy && op != 0x00 && op != 0x03 && op != 0x12) {
        char what[40];
        snprintf(what, sizeof what, "command 0x%02x while flashing", op);
        r.violation = what;
    }
    return r;
}

reply device::answer(const bytes &cdb, const bytes &data_out, size_t data_in_len, double now)
{
    if (cdb.empty())
        return check(INVALID_OPCODE);
    const uint8_t op = cdb[0];
    settle(now);

    const int n = ++seen_[op];
    ++seen_any_;
    const fault_rule *fault = nullptr;
    for (const fault_rule &rule : cfg_.faults) {
        const int count = rule.opcode < 0 ? seen_any_ : n;
        if ((rule.opcode < 0 || rule.opcode == op) && !(rule.until_reset && was_reset_) &&
            rule.covers(count)) {
            fault = &rule;
            break;
        }
    }
    auto injected = [this](const fault_rule &rule) {
        reply r;
        if (rule.err) {
            r.ioctl_errno = rule.err;
        } else if (rule.sense) {
            r = check(*rule.sense, rule.deferred);
        } else if (rule.status >= 0) {
            r.status = static_cast<uint8_t>(rule.status);
        } else {
            r.host_status = rule.host_status;
        }
        return r;
    };
    if (fault && !fault->resid && !fault->activates) {
        if (op == 0x3B)
            abort_download(); // a refused piece ends the download
        return injected(*fault);
    }

    // The host has moved on from WRITE BUFFER: the microcode is complete.
    if (last_download_ && op != 0x3B) {
        activate(*last_download_);
        settle(now);
    }

    if (cdb.size() < cdb_length(op))
        return check(INVALID_FIELD_CDB);
    const size_t short_by = fault ? static_cast<size_t>(fault->resid) : 0;
    reply r = dispatch(cdb, data_out, data_in_len, now, short_by);
    r.data_in.resize(r.data_in.size() - std::min(short_by, r.data_in.size()));
    // The host hears of a failure, but the piece was taken and activated.
    if (fault && fault->activates && r.status == 0 && !r.host_status && last_download_)
        activate(now);
    return fault && !fault->resid ? injected(*fault) : r;
}

reply device::dispatch(const bytes &cdb, const bytes &data_out, size_t data_in_len, double now,
                       size_t short_by)
{
    const uint8_t op = cdb[0];
    if (op == 0x12)
        return inquiry(cdb, data_in_len);
    if (op == 0x03)
        return request_sense(cdb, data_in_len, now);
    if (flashing(now))
        return check(BECOMING_READY);
    if (!attention_.empty()) {
        const sense_code ua = attention_.front();
        attention_.pop_front();
        return check(ua);
    }

    const bool tape = cfg_.cls == device_class::tape;
    switch (op) {
    case 0x00: // TEST UNIT READY
        if (tape && !medium_)
            return check(NO_MEDIUM);
        if ((cfg_.cls == device_class::optical || cfg_.cls == device_class::optical_memory) &&
            !medium_)
            return check(NO_MEDIUM_TRAY_OPEN);
        return {};
    case 0x05: { // READ BLOCK LIMITS (SSC-3 7.7)
        if (!tape)
            return check(INVALID_OPCODE);
        bytes d(6, 0);
        d[0] = cfg_.bl_granularity & 0x1F;
        put_be24(d.data() + 1, cfg_.bl_max & 0xFFFFFF);
        put_be16(d.data() + 4, cfg_.bl_min);
        return data(std::move(d), 6, data_in_len);
    }
    case 0x1B: // LOAD UNLOAD (SSC-3 7.2) or START STOP UNIT (SBC-3 5.25)
        if (cfg_.cls == device_class::changer)
            return check(INVALID_OPCODE);
        return load_unload(cdb);
    case 0x3B: // WRITE BUFFER (SPC-4 6.49)
        return write_buffer(cdb, data_out, now, short_by);
    case 0x1D: // SEND DIAGNOSTIC (SPC-4 6.32)
        return send_diagnostic(cdb, data_out);
    case 0x1C: // RECEIVE DIAGNOSTIC RESULTS (SPC-4 6.27)
        return receive_diagnostic(cdb, data_in_len);
    default:
        return check(INVALID_OPCODE);
    }
}

// INQUIRY (SPC-4 6.4): standard data of 96 bytes, VPD pages 0x00 and 0x80.
reply device::inquiry(const bytes &cdb, size_t len)
{
    if (cfg_.inquiry_fails_after_flash && (flashed_ || flash_until_))
        return check(TARGET_FAILURE);
    const size_t alloc = get_be16(cdb.data() + 3);
    const bool evpd = cdb[1] & 0x01;
    const uint8_t page = cdb[2];
    const uint8_t pdt = cfg_.byte0;
    if (!evpd) {
        if (page != 0 || (cdb[1] & 0x02))
            return check(INVALID_FIELD_CDB);
        bytes d(96, 0);
        d[0] = pdt;
        const bool removable = cfg_.cls == device_class::tape ||
                               cfg_.cls == device_class::optical ||
                               cfg_.cls == device_class::optical_memory;
        d[1] = removable ? 0x80 : 0x00;
        d[2] = 0x06; // SPC-4
        d[3] = 0x12; // HISUP, response data format 2
        d[4] = static_cast<uint8_t>(d.size() - 5);
        put_text(d, 8, 8, cfg_.vendor);
        put_text(d, 16, 16, cfg_.product);
        put_text(d, 32, 4, revision_);
        for (size_t i = 0; i < cfg_.inquiry_extra.size() && 36 + i < d.size(); ++i)
            d[36 + i] = cfg_.inquiry_extra[i];
        return data(std::move(d), alloc, len);
    }
    if (page == 0x00) {
        bytes d{pdt, 0x00, 0x00, 0x00, 0x00};
        if (serial_)
            d.push_back(0x80);
        d[3] = static_cast<uint8_t>(d.size() - 4);
        return data(std::move(d), alloc, len);
    }
    if (page == 0x80 && serial_) {
        const std::string &sn = *serial_;
        bytes d{pdt, 0x80, 0x00, static_cast<uint8_t>(std::min<size_t>(sn.size(), 251))};
        d.insert(d.end(), sn.begin(), sn.begin() + d[3]);
        return data(std::move(d), alloc, len);
    }
    return check(INVALID_FIELD_CDB);
}

// REQUEST SENSE (SPC-4 6.29): returns the pending condition and clears it.
reply device::request_sense(const bytes &cdb, size_t len, double now)
{
    const size_t alloc = cdb[4];
    sense_code code = NO_SENSE;
    if (!attention_.empty()) {
        code = attention_.front();
        attention_.pop_front();
    } else if (flashing(now)) {
        code = BECOMING_READY;
    }
    // DESC asks for descriptor format.
    return data(sense_data(code, cfg_.descriptor_sense || (cdb[1] & 0x01)), alloc, len);
}

reply device::load_unload(const bytes &cdb)
{
    const bool load = cdb[4] & 0x01;
    if (cfg_.cls != device_class::tape) {
        // START STOP UNIT: LOEJ with START clear opens the tray.
        if (cdb[4] & 0x02)
            medium_ = load;
        return {};
    }
    if (load) {
        if (!medium_ && !cartridge_out_)
            return check(NO_MEDIUM);
        medium_ = true;
        cartridge_out_ = false;
        return {};
    }
    if (!medium_)
        return check(NO_MEDIUM);
    if (!cfg_.unload_ignored) {
        medium_ = false;
        cartridge_out_ = true;
    }
    return {};
}

reply device::write_buffer(const bytes &cdb, const bytes &data_out, double now, size_t short_by)
{
    download_record rec;
    rec.mode = cdb[1] & 0x1F;
    rec.buffer_id = cdb[2];
    rec.offset = get_be24(cdb.data() + 3);
    rec.length = get_be24(cdb.data() + 6);
    rec.control = cdb[9];
    if (rec.mode < 4 || rec.mode > 7)
        return check(INVALID_FIELD_CDB);
    if (rec.length > data_out.size())
        return short_data_out();
    if (cfg_.cls == device_class::tape && cfg_.wb_needs_empty && medium_)
        return check(SEQUENCE_ERROR);

    const bool with_offsets = rec.mode == 6 || rec.mode == 7 || rec.offset != 0 ||
                              cfg_.id_stride > 0;
    long at = received_;
    if (with_offsets && !cfg_.append_always)
        at = static_cast<long>(rec.buffer_id) * cfg_.id_stride + rec.offset;
    if (at + static_cast<long>(rec.length) > IMAGE_LIMIT)
        return check(INVALID_FIELD_CDB);

    records_.push_back(rec);
    reply r;
    const size_t took = rec.length - std::min<size_t>(rec.length, short_by);
    r.out_used = took;
    if (rec.length == 0) {
        // The closing command: whatever has arrived is the microcode.
        if (received_ > 0 || last_download_)
            activate(now);
        return r;
    }
    if (image_.size() < static_cast<size_t>(at) + took)
        image_.resize(static_cast<size_t>(at) + took);
    std::copy_n(data_out.begin(), took, image_.begin() + at);
    received_ += static_cast<long>(took);
    last_download_ = now;
    if (cfg_.image_size > 0 && received_ >= cfg_.image_size)
        activate(now);
    return r;
}

reply device::send_diagnostic(const bytes &cdb, const bytes &data_out)
{
    const size_t len = get_be16(cdb.data() + 3);
    if (len > data_out.size())
        return short_data_out();
    reply r;
    r.out_used = len;
    if (len == 0)
        return r; // a self-test that always passes
    if (len < 4 || data_out[0] != 0x88 || !cfg_.unlock)
        return check(INVALID_FIELD_PARAM);
    diag_request_.assign(data_out.begin(), data_out.begin() + len);
    return r;
}

reply device::receive_diagnostic(const bytes &cdb, size_t len)
{
    const size_t alloc = get_be16(cdb.data() + 3);
    const bool pcv = cdb[1] & 0x01;
    if ((pcv && cdb[2] == 0x00) || (!pcv && diag_request_.empty())) {
        bytes d{0x00, 0x00, 0x00, 0x01, 0x00};
        if (cfg_.unlock) {
            d[3] = 2;
            d.push_back(0x88);
        }
        return data(std::move(d), alloc, len);
    }
    if (pcv && (cdb[2] != 0x88 || !cfg_.unlock))
        return check(INVALID_FIELD_CDB);

    const uint8_t key = diag_request_.size() > 8 ? diag_request_[8] : 0;
    bytes d;
    if (auto it = cfg_.diag_answers.find(key); it != cfg_.diag_answers.end()) {
        d = it->second;
    } else {
        // A deterministic answer that differs per request and per drive.
        uint32_t seed = key;
        for (char c : serial_.value_or(cfg_.name))
            seed = seed * 31 + static_cast<uint8_t>(c);
        d.assign(4 + static_cast<size_t>(cfg_.diag_page_length), 0);
        d[0] = 0x88;
        put_be16(d.data() + 2, static_cast<uint32_t>(cfg_.diag_page_length) & 0xFFFF);
        for (size_t i = 4; i < d.size(); ++i)
            d[i] = static_cast<uint8_t>((seed >> (i % 24)) + i * 37 + key);
    }
    return data(std::move(d), alloc, len);
}

} // namespace emu
