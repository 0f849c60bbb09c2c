// SCSI pass-through core: the host request, the command block, the one
// routine that issues every command, sense reporting and trace dumps.
#pragma once

#include <cstddef>
#include <cstdint>

// Flag bits of uscsi_request::req_flags.
enum : int32_t {
    USCSI_SILENT = 0x1,       // host reports no error of this request itself
    USCSI_DIAGNOSE = 0x2,     // fail on any error, no host retries
    USCSI_ISOLATE = 0x4,      // run apart from ordinary traffic
    USCSI_READ = 0x8,         // data comes from the device
    USCSI_NOTAG = 0x100,      // no tagged queueing
    USCSI_RESET = 0x4000,     // reset the target
    USCSI_RESET_ALL = 0x8000, // reset every target on the bus
    USCSI_RQENABLE = 0x10000, // fetch sense data on CHECK CONDITION
};

// The host pass-through request, field for field and in order, with the
// platform's natural alignment and pointer width.
struct uscsi_request {
    int32_t req_flags;
    int16_t req_status;   // SCSI status byte set by the host
    int16_t req_timeout;  // seconds; 0 lets the host choose
    unsigned char *req_cdb;
    unsigned char *req_bufaddr;
    uint32_t req_buflen;
    uint32_t req_resid;
    uint8_t req_cdblen;
    uint8_t req_senselen;
    uint8_t req_sensestatus;
    uint8_t req_senseresid; // sense bytes not filled
    unsigned char *req_sensebuf;
    void *req_reserved;
};

constexpr int SENSE_LEN = 20;
constexpr int SENSE_EXT_LEN = 16;
constexpr int INQ_LEN = 48;
constexpr int VENDOR_DATA_LEN = 20;
constexpr int MODE_DATA_LEN = 144;

// Sense data of either format (fixed 70h/71h, descriptor 72h/73h), decoded
// once; the byte positions named are those of the fixed format.
struct sense_info {
    bool valid;        // byte 0 bit 7: information field is valid
    uint8_t key;       // byte 2, low 4 bits
    uint8_t asc;       // byte 12
    uint8_t ascq;      // byte 13
    uint8_t add_len;   // byte 7
    int32_t info;      // bytes 3-6
    bool deferred;     // 71h/73h: about an earlier command, not this one
};
// Bytes beyond count read as 0.
sense_info decode_sense(const unsigned char *sense, int count);

// What one command returned. Callers read this record, never raw bytes:
// sense is decoded from the bytes the host wrote for this very command.
struct scsi_result {
    int err;              // errno of a failed host call, 0 when it went through
    uint8_t status;       // SCSI status byte
    uint16_t host_status; // transport: DID_* of the host adapter
    uint8_t driver_status;
    uint32_t resid;       // bytes asked for but not moved
    int sense_len;        // sense bytes the host wrote
    sense_info sense;
};
// The command completed with a CHECK CONDITION whose sense is about itself
// (current, not deferred).
bool has_current_sense(const scsi_result &r);
// has_current_sense, with this key and ASC.
bool sense_is(const scsi_result &r, int key, int asc);

// Caller-owned record serving one command at a time.
struct scsi_cmd_block {
    unsigned char cdb[16];
    uscsi_request request;
    unsigned char sense[SENSE_LEN];
    unsigned char sense_ext[SENSE_EXT_LEN]; // directly follows sense
    unsigned char *data_in;
    unsigned char *data_out;
    unsigned char inq_data[INQ_LEN];
    unsigned char vendor_data[VENDOR_DATA_LEN];
    unsigned char mode_data[MODE_DATA_LEN];
    // INQUIRY's whole unit serial number (page 80h) without its padding
    // blanks; "" when the page was refused.
    char unit_serial[256];
    scsi_result result; // of the last command
};
static_assert(offsetof(scsi_cmd_block, sense_ext) ==
                  offsetof(scsi_cmd_block, sense) + SENSE_LEN,
              "REQUEST SENSE reads 36 bytes across sense and sense_ext");

constexpr size_t P_ERROR_MSG_SIZE = 1600;
extern char p_error_msg[P_ERROR_MSG_SIZE];

// Issue one filled request on an open descriptor. 0 on GOOD status, the
// SCSI status byte when the device returned another, else the host call's
// own result (-1) with errno set. The whole outcome goes to *result.
int uscsi_cmd(int fd, uscsi_request *request, int verbose, scsi_result *result = nullptr);

// Ask the host to reset the target (USCSI_RESET) or the bus (USCSI_RESET_ALL).
int scsi_reset(int fd, scsi_cmd_block *block, int reset_flags, int verbose);

enum { HEX_ONLY = 0, HEX_ASCII = 1 };

const char *scsi_find_command_name(int opcode);
void scsi_printerr(const uscsi_request *request, const unsigned char *sense,
                   int count, char *text);
void p_dump(const char *label, const unsigned char *data, int length, int format);
// Appends to the terminated text; never writes more than text_size bytes
// in all (the text stays terminated).
void string_dump(const char *label, const unsigned char *data, int length,
                 int format, char *text, size_t text_size = P_ERROR_MSG_SIZE);
