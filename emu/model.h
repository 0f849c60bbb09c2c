// Device models of the emulator bench: SCSI targets that answer CDBs the way
// tape drives, changers and optical drives do. The models know nothing of
// umockdev or SG_IO; the runner feeds them commands and carries the answers.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace emu {

using bytes = std::vector<uint8_t>;

// The class decides which command set the model speaks (0x1B is LOAD UNLOAD
// on a tape drive, START STOP UNIT elsewhere; READ BLOCK LIMITS is tape only).
enum class device_class { tape, changer, optical, optical_memory, disk };

struct sense_code {
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

// One injected fault: fires on occurrences nth .. nth+count-1 of an
// operation code (count 0: from nth on, forever).
struct fault_rule {
    int opcode = -1; // -1: any command
    int nth = 1;
    int count = 1;
    std::optional<sense_code> sense; // CHECK CONDITION with this sense
    int err = 0;                     // the ioctl itself fails with this errno
    int status = -1;                 // another status byte (0x08 BUSY ...)
    int host_status = 0;             // a transport failure (DID_TIME_OUT 3 ...)
    bool until_reset = false;        // a reset of the device ends the fault
    bool deferred = false;           // the sense reports a deferred error
    int resid = 0;                   // the command runs but moves this many bytes fewer
    bool activates = false;          // WRITE BUFFER: the failure hides a taken, activated piece

    // Whether the n-th occurrence falls in the rule's window.
    bool covers(int n) const { return n >= nth && (count == 0 || n < nth + count); }
};

struct device_config {
    std::string name;
    device_class cls = device_class::tape;
    uint8_t byte0 = 0x01; // peripheral qualifier and device type
    std::string vendor, product, revision;
    std::string new_revision;          // shown after an activated download
    std::optional<std::string> serial; // none: VPD page 0x80 is refused
    std::optional<std::string> serial_after_flash; // another device behind the node
    int host = 0;                      // H of H:C:T:L
    bool descriptor_sense = false;     // every sense in descriptor format
    std::vector<uint8_t> inquiry_extra; // bytes 36.. of the standard data
    uint8_t scsi_level = 7;           // sysfs value (SPC-4 + 1)
    bool medium = true;               // cartridge or disc present
    uint32_t bl_max = 0x00FFFFFF;     // READ BLOCK LIMITS
    uint16_t bl_min = 1;
    uint8_t bl_granularity = 0;
    double flash_seconds = 20;        // NOT READY after activation
    long image_size = 0;              // activation once this much has arrived
    long id_stride = 0;               // >0: buffer ID selects ID*stride in one image
    bool unlock = false;              // answers the vendor page 0x88 exchanges
    int diag_page_length = 72;        // page length the 0x88 answers report
    std::map<uint8_t, bytes> diag_answers; // by request byte 8
    bool never_ready_after_flash = false;
    bool inquiry_fails_after_flash = false;
    bool unload_ignored = false; // LOAD UNLOAD accepted, cartridge stays
    bool wb_needs_empty = true;  // tape: microcode only with no cartridge
    bool append_always = false;  // offsets ignored: data appended in order
    std::optional<sense_code> initial_attention;
    std::vector<fault_rule> faults;
    // Nodes and links in /dev that reach this device.
    std::vector<std::string> nodes;
    std::vector<std::string> links;
    // Nodes that exist but whose open() fails with ENXIO (a gone device).
    std::vector<std::string> enxio;
};

// What the runner hands back to the caller of SG_IO.
struct reply {
    int ioctl_errno = 0; // non-zero: ioctl returns -1 with it
    uint8_t status = 0;
    int host_status = 0;
    size_t out_used = 0; // data-out bytes the command took
    bytes data_in;  // at most the caller's transfer length
    bytes sense;    // with CHECK CONDITION
    std::string violation; // what the host should never have sent now
};

struct download_record {
    uint8_t mode = 0;
    uint8_t buffer_id = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint8_t control = 0;
};

class device {
public:
    explicit device(device_config config);

    // One command: CDB, data-out bytes, and the data-in capacity. `now` is
    // the wall clock in seconds, so that a faked clock drives the flash too.
    reply command(const bytes &cdb, const bytes &data_out, size_t data_in_len, double now);
    // A device, target or bus reset.
    void reset(double now);
    // "downloading" or "flashing" when only polling may reach the device,
    // else null.
    const char *busy(double now) const
    {
        return flashing(now) ? "flashing" : last_download_ ? "downloading" : nullptr;
    }
    // The errno an injected fault gives the next reset ioctl (0: none).
    int reset_fault();
    // The host has stopped: a download still waiting for its activation
    // counts as received.
    void finish(double now);

    const device_config &config() const { return cfg_; }
    // The image the last activated download assembled (empty: none yet).
    const bytes &activated_image() const { return activated_; }
    // What has arrived since the last activation.
    const bytes &pending_image() const { return image_; }
    const std::vector<download_record> &downloads() const { return records_; }
    int activations() const { return activations_; }
    bool medium() const { return medium_; }

private:
    reply answer(const bytes &cdb, const bytes &data_out, size_t data_in_len, double now);
    reply dispatch(const bytes &cdb, const bytes &data_out, size_t data_in_len, double now,
                   size_t short_by);
    reply check(sense_code code, bool deferred = false) const;
    reply inquiry(const bytes &cdb, size_t len);
    reply request_sense(const bytes &cdb, size_t len, double now);
    reply write_buffer(const bytes &cdb, const bytes &data_out, double now, size_t short_by);
    reply load_unload(const bytes &cdb);
    reply send_diagnostic(const bytes &cdb, const bytes &data_out);
    reply receive_diagnostic(const bytes &cdb, size_t len);
    void activate(double now);
    void abort_download();
    void settle(double now);
    bool flashing(double now, bool pending = false) const;

    device_config cfg_;
    bool medium_;
    std::deque<sense_code> attention_;
    std::map<int, int> seen_;      // occurrences per operation code
    int seen_any_ = 0;
    bytes image_;                  // assembled so far
    long received_ = 0;            // data bytes of the download in progress
    bytes activated_;
    std::vector<download_record> records_;
    int activations_ = 0;
    std::optional<double> flash_until_;
    bool flashed_ = false;         // an activation has completed
    std::string revision_;
    std::optional<std::string> serial_;
    bytes diag_request_;           // the last SEND DIAGNOSTIC page
    std::optional<double> last_download_; // time of the last WRITE BUFFER still to activate
    bool cartridge_out_ = false;
    bool was_reset_ = false;   // unloaded, sitting in the drive's mouth
};

// Sense data as the models return it: fixed format (18 bytes, additional
// length 10) or descriptor format (8 bytes, no descriptors).
bytes sense_data(sense_code code, bool descriptor, bool deferred = false);

// "K/ASC/ASCQ" in hexadecimal, e.g. "5/26/00"; nullopt if malformed.
std::optional<sense_code> parse_sense(const std::string &text);

} // namespace emu
