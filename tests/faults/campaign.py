#!/usr/bin/env python3
"""Fault campaign on the emulator bench. For one drive family, a clean
reference run records the commands a download of two drives sends. Then
every command of interest of the first drive (each WRITE BUFFER, READ
BLOCK LIMITS, each command of the drive unlock, the TEST UNIT READY and
LOAD UNLOAD of the eject, each command of the check after recovery) is
made to fail in each of seven ways, one run each. Every run is checked for
the exact messages, the commands the failing drive still received, the
drives' final states, the second drive's download, exit status 0, and that
the bytes each drive received are a prefix of the image at the right
offsets.

Usage: campaign.py BRISK BRISK_EMU FAMILY"""
import errno
import hashlib
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import emu_harness as h  # noqa: E402

SPEED = 500  # brisk's recovery periods pass 500 times faster
PAUSE = "\nPress <Enter> to Continue "

FAULTS = [
    ("eio", {"errno": errno.EIO}),
    ("enodev", {"errno": errno.ENODEV}),
    ("sense_5_26", {"sense": "5/26/00"}),
    ("sense_3_31", {"sense": "3/31/00"}),
    ("sense_4_44", {"sense": "4/44/00"}),
    ("busy", {"status": 8}),
    ("host_timeout", {"host_status": 3}),
]


def ioctl_text(fault):
    """What the pass-through layer prints at trace level 0."""
    if "errno" in fault:
        return "Unexpected USCSICMD ioctl error: %s\n" % os.strerror(fault["errno"])
    if "host_status" in fault:
        return "Unexpected USCSICMD ioctl error: %s\n" % os.strerror(errno.ETIMEDOUT)
    return ""


def fault_errno(fault):
    """errno after the failed command, as perror shows it."""
    if "errno" in fault:
        return fault["errno"]
    if "host_status" in fault:
        return errno.ETIMEDOUT
    return errno.EIO


def pattern(size, seed):
    block = hashlib.sha256(seed.encode()).digest()
    data = bytearray()
    while len(data) < size:
        block = hashlib.sha256(block).digest()
        data += block
    return bytes(data[:size])


# ---- the drive unlock image: hexadecimal text, converted and patched
def unlock_text():
    body = pattern(49152, "unlock")
    lines = [b"header line of the image file\n"]
    for i in range(0, len(body), 32):
        lines.append(b"%08X:" % i + body[i:i + 32].hex().upper().encode() + b"X\n")
    return b"".join(lines), body


def diag_page(seed):
    return bytes([0x88, 0, 0, 72]) + pattern(72, seed)


def tape(vendor, product):
    return {"class": "tape", "vendor": vendor, "product": product, "medium": True,
            "flash_seconds": 0}


FAMILIES = {
    # row 5: control bit on every command but the last, offsets
    "exabyte": (tape("EXABYTE", "Mammoth2"), 150000, False),
    # row 8: mode 4 in 64 KiB, no offsets, a closing zero-length mode 5
    "hp_ultrium": (tape("HP", "Ultrium 5-SCSI"), 3 * 65536 + 100, False),
    # row 10: offsets, transfer size a multiple of 4
    "ibm": (tape("IBM", "ULT3580-TD8"), 200000, False),
    # row 12: mode 4, the last command in mode 5, multiples of 8192
    "quantum": (tape("QUANTUM", "SDLT600"), 150000, False),
    # row 13: mode 6 with offsets and a closing zero-length mode 7
    "seagate_ultrium": (tape("SEAGATE", "ULTRIUM06242-XXX"), 150000, False),
    # row 17: the drive unlock first
    "toshiba": ({"class": "optical", "vendor": "TOSHIBA", "product": "DVD-ROM SD-M1912",
                 "flash_seconds": 0,
                 "diag_answers": {"80": diag_page("first").hex(),
                                  "C0": diag_page("second").hex()}}, None, False),
    # the fall-back row on an optical drive, after the operator's yes
    "fallback_optical": ({"class": "optical", "vendor": "PLEXTOR", "product": "DVDR PX-716A",
                          "flash_seconds": 0}, 600000, True),
}


def go(bench, devices, answers, name):
    r = bench.run(devices, [bench.path("fw.bin")], answers, name=name, brisk_speed=SPEED)
    r.out, r.err = r.out.decode(errors="replace"), r.err.decode(errors="replace")
    return r


def lines(r, device):
    """All the bench logged of one device, resets included."""
    return [c for c in r.log if c.get("device") == device]


def final_states(r):
    table = r.out.rsplit("ATTACHED DEVICES:", 1)[-1]
    states = {}
    for line in table.split("\n"):
        if ":" in line[:4] and line[0].isdigit():
            node = line.split(":", 1)[1].split()[0]
            states["/dev/" + node] = line[-13:].rstrip()
    return states


def row_one(r):
    first = r.out.split("ATTACHED DEVICES:", 1)[1]
    return "/dev/" + first.split("\n1:", 1)[1].split()[0]


def opcode(c):
    return c.get("cdb", "")[:2]


def wb_offset(c):
    return int(c["cdb"][6:12], 16)


class Campaign:
    def __init__(self, family):
        self.family = family
        self.template, size, self.fallback = FAMILIES[family]
        self.bench = h.Bench()
        if size is None:
            text, body = unlock_text()
            self.expected = h.unlocked_image(text, body, diag_page("first"),
                                             diag_page("second"))
        else:
            text = pattern(size, family)
            self.expected = text
        self.bench.write("fw.bin", text)
        optical = self.template["class"] == "optical"
        self.nodes = ["sr0", "sr1"] if optical else ["nst0", "nst1"]
        # Optical drives are the program's work under its other name.
        self.name = "glint" if optical else "brisk"
        self.failures = []
        self.runs = 0

    def devices(self, faults=None):
        out = []
        for name, node in zip(("a", "b"), self.nodes):
            d = dict(self.template, name=name, nodes=[node], serial="SN" + name)
            if faults and name == self.faulty:
                d["faults"] = faults
            out.append(d)
        return out

    def answers(self, pauses):
        yes = "y\n" if self.fallback else ""
        return ("1-2\ny\n" + yes + "\n" * pauses + yes + "0\n").encode()

    def check(self, what, cond, detail=""):
        if not cond:
            self.failures.append("%s: %s %s" % (self.current, what, detail))

    def check_sent(self, cmds, upto=None):
        """WRITE BUFFER data: a prefix of the image, each piece at its offset."""
        sent = 0
        wbs = [c for c in cmds if opcode(c) == "3b"]
        for c in wbs[:upto]:
            length = c["len"]
            piece = self.expected[sent:sent + length]
            if length:
                self.check("piece at %d" % sent,
                           c.get("sha256") == hashlib.sha256(piece).hexdigest())
            self.check("offset field", wb_offset(c) in (sent, 0), c["cdb"])
            sent += length
        return sent

    def reference(self):
        self.current = "reference"
        self.faulty = None
        r = go(self.bench, self.devices(), self.answers(0), self.name)
        self.check("exit status", r.status == 0, r.status)
        self.check("no messages", r.err == "", r.err)
        path = row_one(r)
        self.faulty_path = path
        self.faulty = "a" if path.endswith(self.nodes[0]) else "b"
        self.healthy = "b" if self.faulty == "a" else "a"
        for d in ("a", "b"):
            self.check("image of %s" % d, r.images.get(d) == self.expected)
            cmds = lines(r, d)
            self.check("whole image sent to %s" % d, self.check_sent(cmds) == len(self.expected))
        self.check("final states", set(final_states(r).values()) == {"F/W Upgraded"},
                   final_states(r))
        self.ref = r
        if self.failures:
            return False
        cmds = lines(r, self.faulty)
        wb_at = [i for i, c in enumerate(cmds) if opcode(c) == "3b"]
        first_wb, last_wb = wb_at[0], wb_at[-1]
        seen = {}
        self.targets = []
        for i, c in enumerate(cmds):
            op = opcode(c)
            if not op:
                continue
            seen[op] = seen.get(op, 0) + 1
            nth = seen[op]
            if op == "3b":
                kind = "write_buffer"
            elif op == "05":
                kind = "read_block_limits"
            elif i < first_wb and op in ("1c", "1d") or (op == "1b" and i < first_wb and
                                                         self.template["class"] == "optical"):
                kind = "unlock"
            elif i < first_wb and op in ("00", "1b") and any(opcode(x) == "05"
                                                             for x in cmds[:i]):
                kind = "eject"
            elif i > last_wb and op in ("00", "12"):
                kind = "check"
            else:
                continue
            post_tur = sum(1 for x in cmds[last_wb + 1:i + 1] if opcode(x) == "00")
            post_inq = sum(1 for x in cmds[last_wb + 1:i + 1] if opcode(x) == "12")
            self.targets.append((kind, op, nth, i, post_tur, post_inq))
        return True

    def one(self, target, fault_name, fault):
        kind, op, nth, index, post_tur, post_inq = target
        self.current = "%s %s#%d (%s) %s" % (self.family, op, nth, kind, fault_name)
        # A failed test of a drive that is already empty reads as a loaded
        # drive: the unload the drive then refuses asks for the operator.
        ref = lines(self.ref, self.faulty)[index]
        empty = ref.get("sense", "")[4:6] == "02" and ref.get("sense", "")[24:26] == "3a"
        refused_unload = kind == "eject" and (op == "1b" or empty)
        pauses = 1 if kind in ("write_buffer", "read_block_limits") or refused_unload else 0
        rule = dict(fault, op="0x" + op, nth=nth)
        r = go(self.bench, self.devices([rule]), self.answers(pauses), self.name)
        self.runs += 1
        path = self.faulty_path
        io = ioctl_text(fault)
        states = final_states(r)
        self.check("exit status", r.status == 0, r.status)
        # The next selected drive is downloaded whatever happened to the first.
        self.check("second drive image", r.images.get(self.healthy) == self.expected)
        self.check("second drive state", list(states.values()).count("F/W Upgraded") >= 1, states)
        cmds = lines(r, self.faulty)
        if kind == "write_buffer":
            want = io + "Write Buffer Command Failed; Aborting Download\n"
            if fault.get("sense") == "5/26/00":
                want += "Firmware image file appears to be invalid or corrupted\n"
            self.check("messages", r.err == want, repr(r.err))
            self.check("pause", r.out.count(PAUSE) == 1)
            # Nothing after the failed command, not even a closing command.
            self.check("last command is the failed one", len(cmds) == index + 1,
                       [opcode(c) for c in cmds[index:]])
            self.check("same commands before", [c.get("cdb") for c in cmds] ==
                       [c.get("cdb") for c in lines(self.ref, self.faulty)[:index + 1]])
            self.check_sent(cmds, upto=nth)
            self.check("nothing activated", self.faulty not in r.images)
            self.check("state", states.get(path) == "Update failed", states)
        elif kind == "read_block_limits":
            self.check("messages", r.err == io + "Read Block Limits command failed\n"
                       "Download not performed\n", repr(r.err))
            self.check("last command is the failed one", len(cmds) == index + 1,
                       [opcode(c) for c in cmds[index:]])
            self.check("pause", r.out.count(PAUSE) == 1)
            self.check("state", states.get(path) == "Update failed", states)
        elif kind == "unlock":
            text = ("Cannot eject Tray <%s>\n" if op == "1b" else
                    "Unable to Unlock device <%s>\n") % path
            self.check("messages", r.err == io + text, repr(r.err))
            self.check("caller's line", "Could not unlock %s\n\n" % path in r.out)
            self.check("no write buffer", not any(opcode(c) == "3b" for c in cmds))
            self.check("last command is the failed one", len(cmds) == index + 1,
                       [opcode(c) for c in cmds[index:]])
            self.check("state", states.get(path) == "Update failed", states)
        elif kind == "eject":
            want = io
            if op == "1b":
                want += "Eject failed: %s\n" % os.strerror(fault_errno(fault))
            elif empty:
                want += "Eject failed: %s\n" % os.strerror(errno.EIO)
            if refused_unload:
                self.check("manual eject", "Please eject the tape manually to proceed\n" +
                           PAUSE in r.out)
            self.check("messages", r.err == want, repr(r.err))
            self.check("image", r.images.get(self.faulty) == self.expected)
            self.check("whole image sent", self.check_sent(cmds) == len(self.expected))
            self.check("state", states.get(path) == "F/W Upgraded", states)
        else:
            self.check("image", r.images.get(self.faulty) == self.expected)
            self.check("whole image sent", self.check_sent(cmds) == len(self.expected))
            self.check("messages", r.err == io, repr(r.err))
            waiting = "Waiting for %s to become ready (15 seconds)...\n" % path
            # A unit attention the drive reports at the first test stays
            # pending while that test fails, and then fails the second.
            shifted = op == "00" and post_tur == 1 and ref.get("sense", "")[4:6] == "06"
            if op == "00" and (post_tur == 2 or shifted):
                # The second test counts: reset, wait, test again.
                self.check("reset", any(c.get("reset") for c in cmds), "")
                self.check("wait", r.out.count(waiting) == 1)
                self.check("state", states.get(path) == "F/W Upgraded", states)
            elif op == "12" and post_inq == 3:
                # The standard INQUIRY failed: revision "----" and a re-check
                # on the next pass brings the drive back.
                self.check("no wait", waiting not in r.out)
                self.check("state", states.get(path) in ("Available", "Unavailable"), states)
                self.check("marked", "----" in r.out)
            else:
                self.check("no wait", waiting not in r.out)
                self.check("state", states.get(path) == "F/W Upgraded", states)
        return not self.failures or bool(os.environ.get("KEEP_GOING"))

    def run(self):
        if not self.reference():
            return
        for target in self.targets:
            for name, fault in FAULTS:
                if not self.one(target, name, fault):
                    return


def shared_sense():
    """Two drives that share the run's command block: the first refuses the
    image (ILLEGAL REQUEST 26h), the second's transfer fails without sense.
    Only the first is told its image looks corrupted."""
    bench = h.Bench()
    bench.write("fw.bin", pattern(100000, "shared"))
    base = {"class": "optical", "vendor": "PLEXTOR", "product": "DVDR PX-716A",
            "flash_seconds": 0}
    probe = go(bench, [dict(base, name="a", nodes=["sr0"]), dict(base, name="b", nodes=["sr1"])],
               b"0\n", "glint")
    first = "a" if row_one(probe).endswith("sr0") else "b"
    faults = {first: {"sense": "5/26/00"}, ("b" if first == "a" else "a"): {"errno": 5}}
    devices = [dict(base, name=n, nodes=[node], faults=[dict(faults[n], op="write_buffer")])
               for n, node in (("a", "sr0"), ("b", "sr1"))]
    r = go(bench, devices, b"1-2\ny\ny\n\ny\n\n0\n", "glint")
    want = ("Write Buffer Command Failed; Aborting Download\n"
            "Firmware image file appears to be invalid or corrupted\n"
            "Unexpected USCSICMD ioctl error: Input/output error\n"
            "Write Buffer Command Failed; Aborting Download\n")
    failures = []
    if r.status != 0:
        failures.append("exit status %d" % r.status)
    if r.err != want:
        failures.append("messages %r" % r.err)
    if sorted(final_states(r).values()) != ["Update failed", "Update failed"]:
        failures.append("states %s" % final_states(r))
    print("shared_sense: 1 fault run, %d failed checks" % len(failures))
    for f in failures:
        print("FAIL:", f)
    if not failures:
        bench.close()
    sys.exit(1 if failures else 0)


def main():
    h.BRISK, h.EMU = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    family = sys.argv[3]
    if family == "shared_sense":
        shared_sense()
    c = Campaign(family)
    try:
        c.run()
    finally:
        kinds = {}
        for t in getattr(c, "targets", []):
            kinds[t[0]] = kinds.get(t[0], 0) + 1
        print("%s: %d commands made to fail (%s), %d fault runs, %d failed checks" %
              (family, len(getattr(c, "targets", [])),
               ", ".join("%s %d" % kv for kv in sorted(kinds.items())), c.runs,
               len(c.failures)))
        for f in c.failures[:40]:
            print("FAIL:", f)
        if not c.failures:
            c.bench.close()
        else:
            print("last run kept in", c.bench.dir)
    sys.exit(1 if c.failures else 0)


if __name__ == "__main__":
    main()
