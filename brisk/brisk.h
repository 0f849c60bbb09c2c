// brisk: firmware download into SCSI tape drives, changers and optical drives.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "generic_functions.h"
#include "uscsi_generic.h"

// Option bits (-v, -d), passed unchanged as `flags`.
enum { OPT_VERBOSE = 1, OPT_DEBUG = 2 };
// Device-class bits (-o, -t).
enum { DEVCLASS_OPTICAL = 1, DEVCLASS_TAPE = 2 };

enum device_state : int32_t {
    DEV_UNKNOWN = 0,
    DEV_AVAILABLE = 1,
    DEV_UPDATE_FAILED = 2,
    DEV_SELECTED = 3,
    DEV_DOWNLOADING = 4,
    DEV_WRITING_FLASH = 5,
    DEV_FW_UPGRADED = 6,
};

// One identified device of the inventory.
struct device_entry {
    char download_time[TIMESTAMP_LEN] = {};
    char path[1024] = {};
    int32_t state = DEV_AVAILABLE;
    int32_t fd = -1;
    unsigned char block_limits[6] = {};
    unsigned char *inquiry_data = nullptr; // the record's own 48-byte copy
    device_entry *next = nullptr;
    std::unique_ptr<unsigned char[]> inquiry_owner;
    scsi_address address;         // as listed; its generic node is the one used
    bool located = false;         // address is known
    double recovery_start = 0;    // monotonic_seconds() at the end of the transfer
    bool reset_sent = false;      // by the checks after the current download
    bool replaced = false;        // another device answered: never addressed again
    std::string serial;           // the whole unit serial number, or the table's 12 bytes
    std::string revision_before;  // when its current download started
};

// The run's loaded firmware file.
struct firmware_image {
    struct stat file_status = {};  // st_size: image length in data
    char path[1024] = {};
    signed char converted = 0;
    std::vector<unsigned char> data; // buffer of the file's size
    std::string sha256;              // of the file as read, before any conversion
};

struct download_params {
    char vendor[25];
    char product[25];
    char file_match[10];
    int recovery_time;
    uint8_t wb_mode;
    uint8_t control;
    uint8_t commands;
    uint8_t buffer_id;
    uint8_t use_offsets;
    uint8_t final_save;
    int32_t xfer_size;
    uint32_t block_length;
};

// What the download engine asks of the program that runs it, and what it
// reports. The engine never reads input: the terminal session asks the
// operator, the batch mode answers from its options.
struct engine_caller {
    // The drive has no method row of its own: may the fall-back row be used?
    std::function<bool(const device_entry &, const download_params &)> use_fallback;
    // The drive keeps its cartridge: true once it was taken out by hand,
    // false to give the drive up.
    std::function<bool(const device_entry &)> eject_by_hand;
    // The download was refused or failed; the engine has said why.
    std::function<void(const device_entry &)> refused;
    // The first WRITE BUFFER is next: false stops the download (the caller
    // says why).
    std::function<bool(const device_entry &, const download_params &)> starting;
    // A started download's drive has its state: upgraded, failed, or unavailable.
    std::function<void(const device_entry &)> settled;
};

constexpr int PARAMS_ROWS = 18;
extern download_params params_array[PARAMS_ROWS];
extern const int signal_list[];

// A failed TEST UNIT READY that reports NOT READY with medium not present
// (3Ah) or logical unit not ready (04h), as the answer to this very command.
inline bool unit_not_ready(const scsi_cmd_block *block)
{
    return sense_is(block->result, 2, 0x3A) || sense_is(block->result, 2, 0x04);
}

// Largest buffer offset the 24-bit WRITE BUFFER field holds.
constexpr long WB_OFFSET_MAX = 16777215;

// Terminal input (terminal.cpp).
constexpr int ANSWER_MAX = 510;
// Drops type-ahead when standard input is a terminal, flushes standard output.
void flush_for_prompt();
// Reads one answer line of at most ANSWER_MAX characters into buf (512
// bytes), consuming the whole line. false at end of input.
bool read_answer(char *buf);
// A yes answer: first character Y or y.
bool answer_is_yes(const char *buf);
// The press-Enter pause; false when standard input has ended, in which case
// it returns at once.
bool ask_for_key();

// Firmware file and parameter table (engine.cpp).
// text is a prefix of an INQUIRY field of `width` bytes (method rows, --match).
bool field_starts_with(const unsigned char *field, size_t width, const char *text);
int load_firmware_file(const char *path, firmware_image *image, int flags);
download_params *get_download_params(const device_entry *entry, const char *firmware_path);
bool is_fallback_row(const download_params *row);
void display_download_params();

// Inventory and table (inventory.cpp).
device_entry *get_all_devices_info(device_entry *list, scsi_cmd_block *block,
                                   int devclass, int options, int trace);
void rem_duplicate_devices(device_path_node *candidates);
int display_all_devices_info(device_entry *list, int pause);
int display_header();
int print_scsi_info(const device_entry *entry);
const unsigned char *printchars(const unsigned char *text, int count);

// Terminal session (session.cpp).
void select_n_download(device_entry *list, firmware_image *image,
                       scsi_cmd_block *block, int flags, struct history_log *history);
int build_select_list(device_entry *list, int count, int *default_selection);

// Download engine (engine.cpp).
// Writes to the stream, and to the transcript when one is set.
void say(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Keeps a copy of everything said until set to nullptr.
void engine_transcript(std::string *to);
void ignore_hangups(bool ignore);
// Seconds of the drive's recovery period still to run.
double recovery_remaining(const device_entry *entry, int flags);
// Checks the drives whose recovery has ended and the unavailable ones; the
// longest recovery still to run.
double update_device_status(device_entry *list, scsi_cmd_block *block, int flags,
                            const engine_caller &caller);
// list: the whole inventory, which tells whether a bus reset may be sent.
void post_download_operations(scsi_cmd_block *block, device_entry *entry, int flags,
                              const device_entry *list, const engine_caller &caller);
int disable_interrupts(const int *list, int flags);
void enable_interrupts(const int *list, int flags);
void check_n_download(device_entry *entry, firmware_image *image,
                      scsi_cmd_block *block, int flags, const engine_caller &caller);
// download and unlock_toshiba work on the descriptor check_n_download holds.
void download(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
              const download_params *row, int flags, const engine_caller &caller);
// 0 once the drive is empty; -1 when the caller gave the drive up with its
// cartridge still in.
int eject_tape(const device_entry *entry, int fd, scsi_cmd_block *block, int flags,
               const engine_caller &caller);
// Opens a listed device for this run alone and holds it (uscsi_host_hold)
// until release_device. With `verify`, INQUIRY must show the listed vendor,
// product and serial. 0; -1 with errno; -2 when another device answered
// (said on standard error; the entry is then never addressed again).
int claim_device(device_entry *entry, scsi_cmd_block *block, int flags, bool verify);
void release_device(device_entry *entry);
// claim_device for a download, with the refusals said: 0, or -1 with the
// entry's state set. A device already held is left as it is.
int open_for_download(device_entry *entry, scsi_cmd_block *block, int flags,
                      const engine_caller &caller);
// INQUIRY on fd: 1 when it shows the vendor, product and serial of the
// entry (its data then in block->inq_data); 0 when it cannot tell (no
// answer, or no serial this time); -1 for another device, said on standard
// error with what answered instead.
int identify(const device_entry *entry, int fd, scsi_cmd_block *block, int verbose);
int unlock_toshiba(device_entry *entry, firmware_image *image,
                   scsi_cmd_block *block, int flags);

// The update history (history.cpp): a line of JSON per record, appended
// and synced, so that a download cut short by a crash still shows.
struct history_log {
    std::string path;
    int fd = -1;
    std::string run_id;     // 32 hex digits, one per run
    std::string image_path; // as given
    long image_size = 0;
    std::string image_sha256;
    std::string target;     // the revision the batch mode wants, or ""
    std::vector<const device_entry *> pending; // started, outcome not yet written
};
// The file: --history-file, else $BRISK_HISTORY, else the default.
std::string history_path(const char *option);
std::string new_run_id();
// Now, as 2026-12-08T18:37:33Z.
std::string utc_now();
std::string sha256_hex(const unsigned char *data, size_t size);
// Opens the file for appending, with the image's identity (its digest taken
// before any conversion). false, said on standard error, when it cannot be
// written: no download may start then.
bool history_open(history_log *log, const std::string &path, const firmware_image &image);
// The "started" record, synced; false (said) when it cannot be written.
bool history_started(history_log *log, const device_entry &entry, const download_params &row);
// The outcome record, once per started download; also to syslog.
void history_settled(history_log *log, const device_entry &entry);
// The engine's start and settle reports go to the history; with no log
// (-d, a plan) nothing is recorded and nothing refused.
void record_downloads(engine_caller *caller, history_log *log);
// The outcome of a download whose drive has its state: upgraded,
// unchanged, failed or unavailable; `target` the wanted revision or "".
const char *download_outcome(const device_entry &entry, const char *target);
// The record fields naming a device: node, generic node, class, vendor,
// product, revision (now), serial.
std::string device_class(const device_entry &entry);
std::string inquiry_text(const unsigned char *field, size_t width);
// brisk --history: 0, or 255 when the file cannot be read.
int print_history(const std::string &path, bool json);
// The text between the lines of a transcript, without empty lines.
std::vector<std::string> transcript_lines(const std::string &text);

// Batch mode (batch.cpp).
struct identity_match {
    std::string vendor, product, serial;
};
struct batch_options {
    bool json = false;
    bool yes = false;
    bool allow_default_mode = false;
    const char *update = nullptr; // the image
    std::vector<identity_match> matches;
    std::string revision;              // --revision
    std::vector<std::string> from;     // --from
    std::string sha256;                // --sha256, lower case
    bool from_given = false;
};
// The option parsers: false with *why set.
bool parse_match(const char *text, identity_match *out, std::string *why);
bool parse_revisions(const char *text, std::vector<std::string> *out, std::string *why);
bool parse_sha256(const char *text, std::string *out, std::string *why);
// A line of the history as a record; false when it is not one.
bool parse_history_line(const std::string &line, std::string *json_out);
// --json alone: the listing as one JSON document. 0.
int list_json(device_entry *list, FILE *out);
// --update: the plan, or with --yes the downloads and their report. The
// exit status: 0, 1, 2 or 255.
int run_batch(device_entry *list, firmware_image *image, scsi_cmd_block *block, int flags,
              const batch_options &options, history_log *history, FILE *report);
