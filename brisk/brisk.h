// brisk: firmware download into SCSI tape drives, changers and optical drives.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
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
};

// The run's loaded firmware file.
struct firmware_image {
    struct stat file_status = {};  // st_size: image length in data
    char path[1024] = {};
    signed char converted = 0;
    std::vector<unsigned char> data; // buffer of the file's size
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

// Firmware file and parameter table (download.cpp).
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

// Front end (frontend.cpp).
int brisk_main(int argc, char **argv);
void select_n_download(device_entry *list, firmware_image *image,
                       scsi_cmd_block *block, int flags);
int build_select_list(device_entry *list, int count, int *default_selection);
double update_device_status(device_entry *list, scsi_cmd_block *block, int flags);
// list: the whole inventory, which tells whether a bus reset may be sent.
void post_download_operations(scsi_cmd_block *block, device_entry *entry, int flags,
                              const device_entry *list);
int disable_interrupts(const int *list, int flags);
void enable_interrupts(const int *list, int flags);

// Download engine (download.cpp).
void check_n_download(device_entry *entry, firmware_image *image,
                      scsi_cmd_block *block, int flags);
// download and unlock_toshiba work on the descriptor check_n_download holds.
void download(device_entry *entry, firmware_image *image, scsi_cmd_block *block,
              const download_params *row, int flags);
// 0 once the drive is empty; -1 when the operator could not take the
// cartridge out (standard input ended at the manual-eject pause).
int eject_tape(int fd, scsi_cmd_block *block, int flags);
// Opens a listed device for this run alone and holds it (uscsi_host_hold)
// until release_device. With `verify`, INQUIRY must show the listed vendor,
// product and serial. 0; -1 with errno; -2 when another device answered
// (said on standard error; the entry is then never addressed again).
int claim_device(device_entry *entry, scsi_cmd_block *block, int flags, bool verify);
void release_device(device_entry *entry);
// claim_device for a download, with the refusals said: 0, or -1 with the
// entry's state set. A device already held is left as it is.
int open_for_download(device_entry *entry, scsi_cmd_block *block, int flags);
// INQUIRY on fd: 1 when it shows the vendor, product and serial of the
// entry (its data then in block->inq_data); 0 when it cannot tell (no
// answer, or no serial this time); -1 for another device, said on standard
// error with what answered instead.
int identify(const device_entry *entry, int fd, scsi_cmd_block *block, int verbose);
int unlock_toshiba(device_entry *entry, firmware_image *image,
                   scsi_cmd_block *block, int flags);
