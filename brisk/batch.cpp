// The batch mode: the listing as JSON, and an update of the drives chosen by
// identity, planned from the listing and reported, without a question.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>

#include "brisk.h"

using ordered_json = nlohmann::ordered_json;

#ifndef BRISK_VERSION
#define BRISK_VERSION "0"
#endif

namespace {

// Longest wait between two looks at a drive in its recovery period.
constexpr unsigned RECOVERY_LOOK_SECONDS = 5;

struct drive_report {
    device_entry *entry;
    const download_params *row;
    std::string outcome; // planned, upgraded, unchanged, failed, unavailable, skipped
    std::string reason;
    std::string revision_before;
    std::string transcript;
    std::string started, ended;
};

ordered_json or_null(const std::string &text)
{
    return text.empty() ? ordered_json(nullptr) : ordered_json(text);
}

ordered_json method_json(const download_params *row)
{
    if (!row)
        return nullptr;
    return {{"vendor", row->vendor},
            {"product", row->product},
            {"file_match", row->file_match},
            {"mode", row->wb_mode},
            {"buffer_id", row->buffer_id},
            {"transfer_size", row->xfer_size},
            {"recovery_seconds", row->recovery_time},
            {"fallback", is_fallback_row(row)}};
}

ordered_json device_json(const device_entry &e, const download_params *row)
{
    const unsigned char *inq = e.inquiry_data;
    return {{"node", e.path},
            {"generic_node", or_null(e.located ? e.address.generic : "")},
            {"class", device_class(e)},
            {"vendor", inquiry_text(inq + 8, 8)},
            {"product", inquiry_text(inq + 16, 16)},
            {"revision", inquiry_text(inq + 32, 4)},
            {"serial", e.serial},
            {"method", method_json(row)}};
}

void put_json(FILE *out, const ordered_json &doc)
{
    fputs(doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str(), out);
    fputc('\n', out);
}

bool matches(const device_entry &e, const std::vector<identity_match> &list)
{
    return std::any_of(list.begin(), list.end(), [&](const identity_match &m) {
        return field_starts_with(e.inquiry_data + 8, 8, m.vendor.c_str()) &&
               field_starts_with(e.inquiry_data + 16, 16, m.product.c_str()) &&
               (m.serial.empty() || m.serial == e.serial);
    });
}

// Why a matching drive is left alone; "" when it is to be downloaded.
std::string skip_reason(const device_entry &e, const download_params *row, const batch_options &o)
{
    const std::string revision = inquiry_text(e.inquiry_data + 32, 4);
    if (e.state != DEV_AVAILABLE)
        return "not available";
    if (!row)
        return "no download method";
    if (!o.revision.empty() && revision == o.revision)
        return "already at revision " + revision;
    if (o.from_given && std::find(o.from.begin(), o.from.end(), revision) == o.from.end())
        return "revision " + revision + " is not one of --from";
    if (is_fallback_row(row) && !o.allow_default_mode)
        return "needs the default download mode (--allow-default-mode)";
    return "";
}

void print_text_report(FILE *out, const std::vector<drive_report> &drives, const firmware_image &image,
                       const std::string &digest)
{
    fprintf(out, "Image %s, %zu bytes, SHA-256 %s\n", image.path, image.data.size(), digest.c_str());
    for (const auto &d : drives) {
        const unsigned char *inq = d.entry->inquiry_data;
        std::string revisions = d.revision_before;
        if (d.outcome != "planned" && d.outcome != "skipped")
            revisions += " -> " + (d.entry->state == DEV_FW_UPGRADED ? inquiry_text(inq + 32, 4) : "----");
        fprintf(out, "%s  %s %s %s  %s  %s%s%s\n", d.entry->path, inquiry_text(inq + 8, 8).c_str(),
                inquiry_text(inq + 16, 16).c_str(), d.entry->serial.c_str(), revisions.c_str(),
                d.outcome.c_str(), d.reason.empty() ? "" : ": ", d.reason.c_str());
    }
}

} // namespace

bool parse_match(const char *text, identity_match *out, std::string *why)
{
    const std::string t = text;
    const size_t first = t.find(':');
    const size_t second = first == std::string::npos ? first : t.find(':', first + 1);
    out->vendor = t.substr(0, first);
    out->product = first == std::string::npos ? "" : t.substr(first + 1, second - first - 1);
    out->serial = second == std::string::npos ? "" : t.substr(second + 1);
    *why = "--match takes VENDOR[:PRODUCT[:SERIAL]] with a vendor of 1 to 8 characters, a product "
           "of at most 16 and a serial that is not empty, not \"" + t + "\"";
    if (out->vendor.empty() || out->vendor.size() > 8 || out->product.size() > 16)
        return false;
    return second == std::string::npos || !out->serial.empty();
}

bool parse_revisions(const char *text, std::vector<std::string> *out, std::string *why)
{
    *why = std::string("--from takes revisions of 1 to 4 characters separated by commas, not \"") +
           text + "\"";
    std::string t = text;
    size_t start = 0;
    for (;;) {
        const size_t comma = t.find(',', start);
        const std::string rev = t.substr(start, comma - start);
        if (rev.empty() || rev.size() > 4)
            return false;
        out->push_back(rev);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool parse_sha256(const char *text, std::string *out, std::string *why)
{
    *why = std::string("--sha256 takes 64 hexadecimal digits, not \"") + text + "\"";
    out->clear();
    for (const char *p = text; *p; ++p) {
        if (!isxdigit(static_cast<unsigned char>(*p)))
            return false;
        *out += static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    }
    return out->size() == 64;
}

int list_json(device_entry *list, FILE *out)
{
    ordered_json devices = ordered_json::array();
    for (const device_entry *e = list; e; e = e->next) {
        ordered_json d = device_json(*e, get_download_params(e, ""));
        d["state"] = e->state == DEV_AVAILABLE ? "available" : "unavailable";
        devices.push_back(d);
    }
    put_json(out, {{"version", 1}, {"program", "brisk " BRISK_VERSION}, {"devices", devices}});
    return 0;
}

int run_batch(device_entry *list, firmware_image *image, scsi_cmd_block *block, int flags,
              const batch_options &options, history_log *history, FILE *report)
{
    const std::string &digest = image->sha256;
    std::vector<drive_report> drives;
    for (device_entry *e = list; e; e = e->next) {
        if (!matches(*e, options.matches))
            continue;
        drive_report d{e, get_download_params(e, image->path), "planned", "", "", "", "", ""};
        d.revision_before = inquiry_text(e->inquiry_data + 32, 4);
        d.reason = skip_reason(*e, d.row, options);
        if (!d.reason.empty())
            d.outcome = "skipped";
        drives.push_back(d);
    }
    const bool planned = std::any_of(drives.begin(), drives.end(),
                                     [](const drive_report &d) { return d.outcome == "planned"; });

    if (history)
        history->target = options.revision;
    if (options.yes && planned) {
        engine_caller caller;
        // The plan admitted the drive: its method is wanted.
        caller.use_fallback = [](const device_entry &, const download_params &) { return true; };
        // Nobody is there to take a cartridge out.
        caller.eject_by_hand = [](const device_entry &) { return false; };
        caller.refused = [](const device_entry &) {};
        record_downloads(&caller, history);
        ignore_hangups(true);
        // Held from now on, so that no other run addresses them.
        for (auto &d : drives) {
            engine_transcript(&d.transcript);
            if (d.outcome == "planned" && open_for_download(d.entry, block, flags, caller) != 0)
                d.outcome = d.entry->state == DEV_UPDATE_FAILED ? "failed" : "unavailable";
            engine_transcript(nullptr);
        }
        bool stop = false;
        for (auto &d : drives) {
            if (d.outcome != "planned")
                continue;
            if (stop) {
                d.outcome = "skipped";
                d.reason = "an earlier drive of this run did not come back after its flash";
                release_device(d.entry);
                continue;
            }
            device_entry *e = d.entry;
            d.started = utc_now();
            engine_transcript(&d.transcript);
            e->state = DEV_DOWNLOADING;
            check_n_download(e, image, block, flags, caller);
            // Each drive is seen through its recovery before the next is touched.
            while (e->state == DEV_WRITING_FLASH) {
                const double remaining = recovery_remaining(e, flags);
                if (remaining <= 0)
                    post_download_operations(block, e, flags, list, caller);
                else
                    sleep(std::min(RECOVERY_LOOK_SECONDS, static_cast<unsigned>(remaining)));
            }
            engine_transcript(nullptr);
            d.ended = utc_now();
            d.outcome = download_outcome(*e, options.revision.c_str());
            const std::string now = inquiry_text(e->inquiry_data + 32, 4);
            if (e->state == DEV_FW_UPGRADED && d.outcome == "failed")
                d.reason = "reports revision " + now + ", not " + options.revision;
            // A drive that did not come back from its flash may have been
            // bricked by the image: no other drive gets it in this run.
            stop = d.outcome == "unavailable";
        }
        enable_interrupts(signal_list, flags);
        ignore_hangups(false);
    }

    int status = 2;
    if (planned && options.yes) {
        status = std::all_of(drives.begin(), drives.end(), [](const drive_report &d) {
            return d.outcome == "upgraded" || d.outcome == "skipped";
        }) ? 0 : 1;
    } else if (planned) {
        status = 0;
    }

    if (!options.json) {
        print_text_report(report, drives, *image, digest);
        return status;
    }
    ordered_json out = ordered_json::array();
    for (const auto &d : drives) {
        ordered_json j = device_json(*d.entry, d.row);
        j.erase("revision");
        j["revision_before"] = d.revision_before;
        const bool checked = d.entry->state == DEV_FW_UPGRADED && !d.ended.empty();
        j["revision_after"] = checked ? ordered_json(inquiry_text(d.entry->inquiry_data + 32, 4)) : nullptr;
        j["outcome"] = d.outcome;
        j["reason"] = or_null(d.reason);
        j["messages"] = transcript_lines(d.transcript);
        j["started"] = or_null(d.started);
        j["ended"] = or_null(d.ended);
        out.push_back(j);
    }
    ordered_json from = options.from_given ? ordered_json(options.from) : ordered_json(nullptr);
    put_json(report, {{"version", 1},
                      {"program", "brisk " BRISK_VERSION},
                      {"run_id", history ? history->run_id : new_run_id()},
                      {"mode", options.yes ? "update" : "plan"},
                      {"image",
                       {{"path", image->path},
                        {"size", image->data.size()},
                        {"sha256", digest}}},
                      {"target_revision", or_null(options.revision)},
                      {"from_revisions", from},
                      {"drives", out},
                      {"exit_status", status}});
    return status;
}
