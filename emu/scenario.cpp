#include "scenario.h"

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace emu {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string &where, const std::string &what)
{
    throw std::runtime_error(where + ": " + what);
}

bytes parse_hex(const std::string &where, const std::string &text)
{
    bytes out;
    std::string digits;
    for (char c : text)
        if (!isspace(static_cast<unsigned char>(c)))
            digits += c;
    if (digits.size() % 2 != 0)
        fail(where, "odd number of hexadecimal digits");
    for (size_t i = 0; i < digits.size(); i += 2) {
        const std::string pair = digits.substr(i, 2);
        if (!isxdigit(static_cast<unsigned char>(pair[0])) ||
            !isxdigit(static_cast<unsigned char>(pair[1])))
            fail(where, "not hexadecimal: " + pair);
        out.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
    return out;
}

int parse_opcode(const std::string &where, const json &v)
{
    static const std::map<std::string, int> names = {
        {"any", -1},          {"test_unit_ready", 0x00}, {"request_sense", 0x03},
        {"read_block_limits", 0x05}, {"inquiry", 0x12},   {"load_unload", 0x1B},
        {"start_stop_unit", 0x1B},  {"receive_diagnostic", 0x1C},
        {"send_diagnostic", 0x1D},  {"write_buffer", 0x3B}, {"reset", 0x100},
    };
    if (v.is_number_integer()) {
        const int op = v.get<int>();
        if (op < 0 || op > 0xFF)
            fail(where, "operation code out of range");
        return op;
    }
    if (!v.is_string())
        fail(where, "\"op\" must be a name or a number");
    const std::string s = v.get<std::string>();
    if (auto it = names.find(s); it != names.end())
        return it->second;
    if (s.rfind("0x", 0) == 0 && s.size() <= 4 && s.size() > 2)
        return static_cast<int>(std::stoul(s.substr(2), nullptr, 16));
    fail(where, "unknown operation " + s);
}

void only_keys(const std::string &where, const json &obj, const std::set<std::string> &keys)
{
    if (!obj.is_object())
        fail(where, "must be an object");
    for (auto it = obj.begin(); it != obj.end(); ++it)
        if (!keys.count(it.key()))
            fail(where, "unknown key \"" + it.key() + "\"");
}

sense_code sense_of(const std::string &where, const json &v)
{
    if (!v.is_string())
        fail(where, "sense must be \"K/ASC/ASCQ\"");
    auto s = parse_sense(v.get<std::string>());
    if (!s)
        fail(where, "sense must be \"K/ASC/ASCQ\" in hexadecimal");
    return *s;
}

fault_rule parse_fault(const std::string &where, const json &f)
{
    only_keys(where, f, {"op", "nth", "count", "sense", "errno", "status", "host_status",
                         "resid", "until_reset", "deferred", "activates"});
    fault_rule r;
    r.opcode = parse_opcode(where, f.value("op", json("any")));
    r.nth = f.value("nth", 1);
    r.count = f.value("count", 1);
    r.until_reset = f.value("until_reset", false);
    r.deferred = f.value("deferred", false);
    r.activates = f.value("activates", false);
    if (r.nth < 1 || r.count < 0)
        fail(where, "\"nth\" starts at 1 and \"count\" is 0 (forever) or more");
    int actions = 0;
    if (f.contains("sense")) {
        r.sense = sense_of(where, f["sense"]);
        ++actions;
    }
    if (f.contains("errno")) {
        r.err = f["errno"].get<int>();
        ++actions;
    }
    if (f.contains("status")) {
        r.status = f["status"].get<int>();
        ++actions;
    }
    if (f.contains("host_status")) {
        r.host_status = f["host_status"].get<int>();
        ++actions;
    }
    if (f.contains("resid")) {
        r.resid = f["resid"].get<int>();
        ++actions;
    }
    if (actions != 1 || (r.opcode == 0x100 && !r.err) || (r.deferred && !r.sense) ||
        (f.contains("resid") && r.resid < 1) || (r.activates && r.opcode != 0x3B))
        fail(where, "a fault has exactly one of sense, errno, status, host_status, resid > 0 "
                    "(a reset fault only errno; deferred only with sense; activates only on "
                    "write_buffer)");
    return r;
}

bool descriptor(const std::string &where, const json &v)
{
    if (v != "fixed" && v != "descriptor")
        fail(where, "sense_format is \"fixed\" or \"descriptor\"");
    return v == "descriptor";
}

device_config parse_device(const std::string &where, const json &d, bool descriptor_sense)
{
    only_keys(where, d,
              {"name", "class", "byte0", "vendor", "product", "revision", "new_revision",
               "serial", "inquiry_extra", "scsi_level", "medium", "block_limits",
               "flash_seconds", "image_size", "id_stride", "append_always", "unlock",
               "diag_page_length", "diag_answers", "never_ready_after_flash",
               "inquiry_fails_after_flash", "unload_ignored", "wb_needs_empty",
               "unit_attention", "faults", "nodes", "links", "enxio", "host", "sense_format",
               "serial_after_flash"});
    device_config c;
    c.name = d.at("name").get<std::string>();
    const std::string w = where + " (" + c.name + ")";
    static const std::map<std::string, std::pair<device_class, uint8_t>> classes = {
        {"tape", {device_class::tape, 0x01}},
        {"changer", {device_class::changer, 0x08}},
        {"optical", {device_class::optical, 0x05}},
        {"optical-memory", {device_class::optical_memory, 0x07}},
        {"disk", {device_class::disk, 0x00}},
    };
    const std::string cls = d.value("class", std::string("tape"));
    auto it = classes.find(cls);
    if (it == classes.end())
        fail(w, "unknown class " + cls);
    c.cls = it->second.first;
    c.byte0 = d.value("byte0", it->second.second);
    c.vendor = d.value("vendor", std::string("EMU"));
    c.product = d.value("product", std::string("Device"));
    c.revision = d.value("revision", std::string("0100"));
    c.new_revision = d.value("new_revision", std::string());
    if (!d.contains("serial"))
        c.serial = "EMU" + c.name;
    else if (!d["serial"].is_null())
        c.serial = d["serial"].get<std::string>();
    if (d.contains("serial_after_flash"))
        c.serial_after_flash = d["serial_after_flash"].get<std::string>();
    c.host = d.value("host", 0);
    if (c.host < 0 || c.host > 0xFFFF)
        fail(w, "host out of range");
    c.descriptor_sense =
        d.contains("sense_format") ? descriptor(w, d["sense_format"]) : descriptor_sense;
    if (d.contains("inquiry_extra"))
        c.inquiry_extra = parse_hex(w, d["inquiry_extra"].get<std::string>());
    c.scsi_level = d.value("scsi_level", uint8_t{7});
    c.medium = d.value("medium", c.cls != device_class::changer);
    if (d.contains("block_limits")) {
        const json &b = d["block_limits"];
        only_keys(w + " block_limits", b, {"max", "min", "granularity"});
        c.bl_max = b.value("max", c.bl_max);
        c.bl_min = b.value("min", c.bl_min);
        c.bl_granularity = b.value("granularity", c.bl_granularity);
    }
    c.flash_seconds = d.value("flash_seconds", c.flash_seconds);
    c.image_size = d.value("image_size", 0L);
    c.id_stride = d.value("id_stride", 0L);
    c.append_always = d.value("append_always", false);
    c.unlock = d.value("unlock", c.vendor.rfind("TOSHIBA", 0) == 0);
    c.diag_page_length = d.value("diag_page_length", c.diag_page_length);
    if (c.diag_page_length < 0 || c.diag_page_length > 0xFFFF)
        fail(w, "diag_page_length out of range");
    if (d.contains("diag_answers")) {
        for (auto a = d["diag_answers"].begin(); a != d["diag_answers"].end(); ++a) {
            const bytes key = parse_hex(w, a.key());
            if (key.size() != 1)
                fail(w, "diag_answers keys are one byte in hexadecimal");
            c.diag_answers[key[0]] = parse_hex(w, a.value().get<std::string>());
        }
    }
    c.never_ready_after_flash = d.value("never_ready_after_flash", false);
    c.inquiry_fails_after_flash = d.value("inquiry_fails_after_flash", false);
    c.unload_ignored = d.value("unload_ignored", false);
    c.wb_needs_empty = d.value("wb_needs_empty", true);
    if (d.contains("unit_attention"))
        c.initial_attention = sense_of(w, d["unit_attention"]);
    if (d.contains("faults")) {
        int k = 0;
        for (const json &f : d["faults"])
            c.faults.push_back(parse_fault(w + " fault " + std::to_string(++k), f));
    }
    c.nodes = d.at("nodes").get<std::vector<std::string>>();
    if (c.nodes.empty())
        fail(w, "a device needs at least one node");
    c.links = d.value("links", std::vector<std::string>{});
    c.enxio = d.value("enxio", std::vector<std::string>{});
    for (const std::string &n : c.enxio)
        if (std::find(c.nodes.begin(), c.nodes.end(), n) == c.nodes.end())
            fail(w, "enxio node \"" + n + "\" is not one of the device's nodes");
    return c;
}

bool safe_relative(const std::string &p)
{
    if (p.empty() || p[0] == '/' || p.back() == '/')
        return false;
    std::stringstream ss(p);
    std::string part;
    while (std::getline(ss, part, '/'))
        if (part.empty() || part == "." || part == ".." || part[0] == '.')
            return false;
    return true;
}

} // namespace

bool number_node(const std::string &name, node_number *out)
{
    static const std::regex st("(n?)st([0-9]+)([lma]?)");
    static const std::regex other("(sch|sg|sr)([0-9]+)");
    std::smatch m;
    if (std::regex_match(name, m, st)) {
        const unsigned n = static_cast<unsigned>(std::stoul(m[2]));
        const std::string suffix = m[3];
        const unsigned mode = suffix.empty() ? 0 : suffix == "l" ? 1 : suffix == "m" ? 2 : 3;
        // st: drive number in bits 0-4 and 8-19, mode in 5-6, no-rewind in 7
        out->major = 9;
        out->minor = (n & 31) | (mode << 5) | (m[1].length() ? 128u : 0u) | ((n >> 5) << 8);
        out->subsystem = "scsi_tape";
        return true;
    }
    if (std::regex_match(name, m, other)) {
        out->minor = static_cast<unsigned>(std::stoul(m[2]));
        if (m[1] == "sch") {
            out->major = 86;
            out->subsystem = "scsi_changer";
        } else if (m[1] == "sg") {
            out->major = 21;
            out->subsystem = "scsi_generic";
        } else {
            out->major = 11;
            out->subsystem = "block";
        }
        return true;
    }
    return false;
}

scenario parse_scenario(const std::string &json_text)
{
    json doc;
    try {
        doc = json::parse(json_text, nullptr, true, true);
    } catch (const json::parse_error &e) {
        fail("scenario", e.what());
    }
    only_keys("scenario", doc, {"devices", "others", "comment", "sense_format"});
    scenario s;
    std::set<std::string> names, paths;
    auto claim = [&](const std::string &where, const std::string &p) {
        if (!safe_relative(p))
            fail(where, "node path \"" + p + "\" must be relative to /dev, without . or ..");
        if (!paths.insert(p).second)
            fail(where, "node path \"" + p + "\" used twice");
    };
    try {
        const bool descriptor_sense =
            descriptor("scenario", doc.value("sense_format", json("fixed")));
        int k = 0;
        for (const json &d : doc.value("devices", json::array())) {
            const std::string where = "device " + std::to_string(++k);
            device_config c = parse_device(where, d, descriptor_sense);
            if (!names.insert(c.name).second)
                fail(where, "device name \"" + c.name + "\" used twice");
            for (const std::string &n : c.nodes) {
                claim(where, n);
                node_number num;
                if (n.find('/') != std::string::npos || !number_node(n, &num))
                    fail(where, "node \"" + n + "\" is not an st, ch, sg or sr name");
            }
            for (const std::string &l : c.links)
                claim(where, l);
            s.devices.push_back(std::move(c));
        }
        k = 0;
        for (const json &o : doc.value("others", json::array())) {
            const std::string where = "other " + std::to_string(++k);
            only_keys(where, o, {"path", "dev", "directory"});
            other_node n;
            n.path = o.at("path").get<std::string>();
            n.directory = o.value("directory", false);
            n.dev = o.value("dev", std::string());
            unsigned a, b;
            char tail;
            if (!n.directory && sscanf(n.dev.c_str(), "%u:%u%c", &a, &b, &tail) != 2)
                fail(where, "\"dev\" must be \"MAJ:MIN\"");
            claim(where, n.path);
            s.others.push_back(std::move(n));
        }
    } catch (const json::exception &e) {
        fail("scenario", e.what());
    }
    return s;
}

scenario load_scenario(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read scenario " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return parse_scenario(ss.str());
}

} // namespace emu
