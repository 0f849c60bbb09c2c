// The scenario file of the emulator bench: which devices exist, how they
// answer, and the /dev nodes and links that reach them (emu/README.md).
#pragma once

#include <string>
#include <vector>

#include "model.h"

namespace emu {

// A /dev node with no SCSI device behind it (a serial port, a bsg node, a
// directory whose name looks like a candidate).
struct other_node {
    std::string path;    // relative to /dev
    std::string dev;     // "MAJ:MIN"; empty with `directory`
    bool directory = false;
};

struct scenario {
    std::vector<device_config> devices;
    std::vector<other_node> others;
};

// Throws std::runtime_error with a message naming the offending key.
scenario parse_scenario(const std::string &json_text);
scenario load_scenario(const std::string &path);

// The device number and sysfs class of a node name as the kernel's drivers
// number them: nstN (st), schN (ch), sgN (sg), srN (sr).
struct node_number {
    unsigned major = 0;
    unsigned minor = 0;
    std::string subsystem; // scsi_tape, scsi_changer, scsi_generic, block
};
bool number_node(const std::string &name, node_number *out);

} // namespace emu
