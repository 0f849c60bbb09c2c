#!/usr/bin/env python3
"""Downloads by the real binary under the emulator bench: for each family of
the parameter table that behaves differently, the WRITE BUFFER commands the
drive received, the image it assembled, the refusals and their messages, the
tape eject and the drive unlock."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu_harness as h  # noqa: E402

SPEED = 200  # recovery periods of 120 to 240 s pass in about a second

PAUSE = b"\nPress <Enter> to Continue "


def wb(r, device):
    """(mode, buffer id, offset, length, control) of every WRITE BUFFER."""
    out = []
    for l in r.commands(device, 0x3B):
        c = bytes.fromhex(l["cdb"])
        out.append((c[1] & 0x1F, c[2], int.from_bytes(c[3:6], "big"),
                    int.from_bytes(c[6:9], "big"), c[9]))
    return out


def expected(size, xfer, mode, control=0, offsets=True, final_save=0, bid=0):
    """The command sequence a row must produce: full-size pieces with the
    row's control bit, the last piece with control 0 (mode | 5 when the row
    saves on the last), and the closing zero-length save command."""
    seq, off = [], 0
    while off < size:
        n = min(xfer, size - off)
        last = off + n >= size
        m = mode | 5 if last and final_save == 1 else mode
        seq.append((m, bid, off if offsets else 0, n, 0 if last else (0x80 if control else 0)))
        off += n
    if final_save == 2:
        seq.append((mode | 5, bid, size if offsets else 0, 0, 0))
    return seq


class Case(unittest.TestCase):
    def setUp(self):
        self.bench = h.Bench()

    def tearDown(self):
        self.bench.close()

    def image(self, size, name="fw.bin"):
        data = bytes((i * 7 + (i >> 8) * 13 + 5) & 0xFF for i in range(size))
        return self.bench.write(name, data), data

    def download(self, devices, size, answers=b"1\ny\n0\n", args=(), name="brisk", **kw):
        path, data = self.image(size)
        r = self.bench.run(devices, args=list(args) + [path], stdin=answers, name=name,
                           speed=SPEED, **kw)
        return r, data, path


class Families(Case):
    # name, device, image size, expected sequence
    CASES = [
        ("HP Ultrium: 64 KiB pieces in mode 4, a closing save command",
         h.tape("d", "HP", "Ultrium 6-SCSI"), 300000,
         expected(300000, 65536, 4, offsets=False, final_save=2)),
        ("IBM on a variable-block drive: 524288, 65534, 65532",
         h.tape("d", "IBM", "ULT3580-TD8"), 300000, expected(300000, 65532, 4)),
        ("IBM, an image of exactly two transfer sizes",
         h.tape("d", "IBM", "ULT3580-TD8"), 131064, expected(131064, 65532, 4)),
        ("QUANTUM (not DLT): mode 4, the last in mode 5, 8 KiB granularity",
         h.tape("d", "QUANTUM", "SDLT600"), 200000 - 200000 % 8192 + 100,
         expected(200000 - 200000 % 8192 + 100, 57344, 4, final_save=1)),
        ("QUANTUM DLT: mode 5 with offsets",
         h.tape("d", "QUANTUM", "DLT7000"), 150000, expected(150000, 57344, 5)),
        ("EXABYTE: the control bit on every piece but the last",
         h.tape("d", "EXABYTE", "Mammoth2"), 150000, expected(150000, 65534, 5, control=1)),
        ("SEAGATE ULTRIUM: mode 6, closing mode 7 at the image length",
         h.tape("d", "SEAGATE", "ULTRIUM06242-XXX"), 140000,
         expected(140000, 65534, 6, final_save=2)),
        ("SEAGATE other: 8 KiB pieces, mode 5",
         h.tape("d", "SEAGATE", "DAT    9SP40-000"), 20000, expected(20000, 8192, 5)),
        ("STK: mode 6 without offsets, the last in mode 7",
         dict(h.tape("d", "STK", "T10000C"), append_always=True), 140000,
         expected(140000, 65532, 6, offsets=False, final_save=1)),
        ("TANDBERG: mode 7 with offsets",
         h.tape("d", "TANDBERG", "LTO-6 HH"), 140000, expected(140000, 65534, 7)),
        ("HP other: 32 KiB pieces in mode 4 to buffer 1",
         dict(h.tape("d", "HP", "C1537A"), append_always=True), 70000,
         expected(70000, 32768, 4, offsets=False, bid=1)),
        ("ARCHIVE: one command",
         h.tape("d", "ARCHIVE", "Python 04106"), 60000, expected(60000, 65534, 5)),
        ("ADIC FastStor 2 changer: one command to buffer 0x82",
         {"name": "d", "class": "changer", "vendor": "ADIC", "product": "FastStor 2",
          "nodes": ["sch0"], "append_always": True}, 200000,
         expected(200000, 524288, 5, offsets=False, bid=0x82)),
    ]

    def test_families(self):
        for title, dev, size, seq in self.CASES:
            with self.subTest(title):
                dev = dict(dev)
                dev.setdefault("nodes", ["nst0"])
                if not dev["nodes"]:
                    dev["nodes"] = ["nst0"]
                r, data, _ = self.download([dev], size)
                self.assertEqual(r.status, 0, r.err)
                self.assertEqual(wb(r, "d"), seq)
                self.assertEqual(r.images.get("d"), data)
                self.assertIn(b"\nDownloading /dev/%s... please wait.\n" % dev["nodes"][0].encode(),
                              r.out)
                self.assertIn(b"F/W Upgraded \n", r.out)
                self.assertEqual(r.err, b"")

    def test_two_exabyte_drives_get_the_same_sequence(self):
        devs = [h.tape("a", "EXABYTE", "Mammoth2", nodes=["nst0"]),
                h.tape("b", "EXABYTE", "Mammoth2", nodes=["nst1"])]
        r, data, _ = self.download(devs, 150000, answers=b"1-2\ny\n0\n")
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual(wb(r, "a"), expected(150000, 65534, 5, control=1))
        self.assertEqual(wb(r, "a"), wb(r, "b"))
        self.assertEqual((r.images["a"], r.images["b"]), (data, data))

    def test_fall_back_row_on_an_optical_drive(self):
        dev = {"name": "d", "class": "optical", "vendor": "ACME", "product": "BD-RE X1",
               "nodes": ["sr0"]}
        size = 16 * 1024 * 1024
        r, data, _ = self.download([dev], size, answers=b"1\ny\ny\n0\n", name="glint")
        self.assertIn(b"\nCannot determine firmware Download Mode for /dev/sr0.\n"
                      b"Do you want to try default Download Mode (5) using\n"
                      b"multiple Write Buffer commands with buffer offsets [N]? ", r.out)
        self.assertEqual(wb(r, "d"), expected(size, 524288, 5))
        self.assertEqual(r.images["d"], data)
        # Declined: back to available, nothing sent.
        r, _, _ = self.download([dev], 1000, answers=b"1\ny\nn\n0\n", name="glint")
        self.assertEqual(wb(r, "d"), [])
        self.assertIn(b"Available    \n", r.out.rsplit(b"ATTACHED DEVICES", 1)[1])

    def test_offsets_beyond_24_bits_are_refused(self):
        dev = {"name": "d", "class": "optical", "vendor": "ACME", "product": "BD-RE X1",
               "nodes": ["sr0"]}
        size = 16 * 1024 * 1024 + 1
        r, _, _ = self.download([dev], size, answers=b"1\ny\ny\n\n0\n", name="glint")
        self.assertIn(b"\nFirmware size 16777217 is too large for buffer offsets "
                      b"(at most 16777215).\nDownload not performed\n", r.err)
        self.assertIn(PAUSE, r.out)
        self.assertEqual(wb(r, "d"), [])
        self.assertIn(b"Update failed\n", r.out)


class Refusals(Case):
    def test_single_command_drive_with_a_large_image(self):
        dev = h.tape("d", "ARCHIVE", "Python 04106", nodes=["nst0"], medium=True)
        r, _, _ = self.download([dev], 100000, answers=b"1\ny\n\n0\n", args=["-d"])
        self.assertIn(b"\nFirmware size 100000 is greater than maximum allowable\n"
                      b"limit 65534 and the drive does not support download\n"
                      b"with multiple Write Buffer commands.\nDownload aborted.\n", r.err)
        # Refused before the eject and before any signal is masked.
        self.assertNotIn(b"If this weren't debug mode, I would eject", r.out)
        self.assertNotIn(b"Disabling signal", r.err)
        r, _, _ = self.download([dev], 100000, answers=b"1\ny\n\n0\n")
        ops = [int(l["cdb"][:2], 16) for l in r.commands("d")]
        self.assertEqual(ops[-1], 0x05)  # READ BLOCK LIMITS, then nothing
        self.assertIn(b"Update failed\n", r.out)

    def test_fixed_block_drive(self):
        dev = h.tape("d", "ACME", "Fixed 512", nodes=["nst0"],
                     block_limits={"max": 512, "min": 512})
        r, _, _ = self.download([dev], 1000, answers=b"1\ny\ny\n\n0\n")
        self.assertIn(b"\nFirmware size 1000 is not evenly divisible by minimum block size 512.\n"
                      b"Download not performed\n", r.err)
        self.assertEqual(wb(r, "d"), [])
        r, data, _ = self.download([dev], 2048, answers=b"1\ny\ny\n0\n", args=["-d"])
        self.assertIn(b"Setting transfer size to 524288 because of system ioctl interface limits\n"
                      b"Setting transfer size to 64512 because of ST_MAXRECSIZE_FIXED\n"
                      b"Setting transfer size to 512 because of tape max blocksize\n", r.err)
        r, data, _ = self.download([dev], 2048, answers=b"1\ny\ny\n0\n")
        self.assertEqual(wb(r, "d"), expected(2048, 512, 5))
        self.assertEqual(r.images["d"], data)

    def test_zero_block_limits(self):
        # 0 reads as no maximum and a minimum of 1: the download goes through.
        dev = h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"], block_limits={"max": 0, "min": 0})
        r, data, _ = self.download([dev], 70000)
        self.assertEqual(wb(r, "d"), expected(70000, 65532, 4))
        self.assertEqual(r.images["d"], data)
        # A maximum below the row's block length leaves nothing to send.
        dev = h.tape("d", "QUANTUM", "SDLT600", nodes=["nst0"], block_limits={"max": 4096, "min": 1})
        r, _, _ = self.download([dev], 8192, answers=b"1\ny\n\n0\n")
        self.assertIn(b"\nTransfer size is below the block length 8192 of /dev/nst0.\n"
                      b"Download not performed\n", r.err)
        self.assertEqual(wb(r, "d"), [])

    def test_empty_image_is_refused_at_load(self):
        path = self.bench.write("empty.bin", b"")
        r = self.bench.run([h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"])], args=[path])
        self.assertEqual(r.status, 255)
        self.assertTrue(r.err.startswith(b"firmware file %s is empty\n" % path.encode()))
        self.assertEqual(r.commands(), [])

    def test_failed_write_buffer(self):
        for sense, invalid in (("5/26/00", True), ("3/31/00", False)):
            with self.subTest(sense=sense):
                dev = h.tape("d", "SEAGATE", "ULTRIUM06242-XXX", nodes=["nst0"],
                             faults=[{"op": "write_buffer", "nth": 2, "sense": sense}])
                other = h.tape("e", "IBM", "ULT3580-TD8", nodes=["nst1"])
                r, data, _ = self.download([dev, other], 140000, answers=b"1-2\ny\n\n0\n")
                msg = b"Write Buffer Command Failed; Aborting Download\n"
                if invalid:
                    msg += b"Firmware image file appears to be invalid or corrupted\n"
                self.assertIn(msg, r.err)
                self.assertEqual(r.err.count(b"appears to be invalid"), 1 if invalid else 0)
                # No further command, not even the closing one.
                self.assertEqual(wb(r, "d"), expected(140000, 65534, 6, final_save=2)[:2])
                after = r.log.index(r.commands("d", 0x3B)[-1])
                self.assertEqual([l for l in r.log[after + 1:] if l.get("device") == "d"], [])
                self.assertIn(b"Update failed\n", r.out)
                # The next selected device is still downloaded.
                self.assertEqual(r.images["e"], data)
                self.assertEqual(r.status, 0)


    def test_retry_after_a_failed_write_buffer(self):
        # The drive stays open after the failure; the retry uses that descriptor.
        dev = h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"],
                     faults=[{"op": "write_buffer", "nth": 2, "sense": "3/31/00"}])
        r, data, _ = self.download([dev], 140000, answers=b"1\ny\n\n1\ny\n0\n", args=["-v"])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.images["d"], data)
        self.assertIn(b"F/W Upgraded \n", r.out.rsplit(h.HEADER, 1)[1])
        fds = re.findall(rb"Write Buffer\n\tfd=(\d+) ", r.err)
        self.assertEqual(len(fds), 2 + 3)
        self.assertEqual(set(fds), {fds[0]})


class Debug(Case):
    def test_debug_mode_sends_no_write_buffer(self):
        dev = h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"], medium=True)
        r, _, path = self.download([dev], 140000, args=["-d"])
        ops = {int(l["cdb"][:2], 16) for l in r.commands("d")}
        self.assertIn(0x05, ops)
        self.assertNotIn(0x3B, ops)
        self.assertNotIn(0x1B, ops)
        self.assertIn(b"If this weren't debug mode, I would eject the tape cartridge\n", r.out)
        self.assertEqual(r.out.count(b"If this weren't debug mode, I would do \n\t'write_buffer("), 3)
        self.assertIn(b"Writing Flash\n", r.out)
        self.assertIn(b"F/W Upgraded \n", r.out)
        self.assertNotIn("d", r.images)


class Eject(Case):
    def ops(self, r):
        return [int(l["cdb"][:2], 16) for l in r.commands("d")]

    def test_empty_drive(self):
        r, _, _ = self.download([h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"])], 1000,
                                args=["-v"])
        seq = self.ops(r)
        rbl = seq.index(0x05)
        self.assertEqual(seq[rbl + 1:rbl + 3], [0x00, 0x3B])
        self.assertIn(b"Checking for loaded tape cartridge\n", r.out)
        self.assertNotIn(b"Ejecting Tape", r.out)

    def test_loaded_drive_unloads(self):
        r, data, _ = self.download([h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"],
                                           medium=True)], 1000)
        seq = self.ops(r)
        rbl = seq.index(0x05)
        self.assertEqual(seq[rbl + 1:rbl + 5], [0x00, 0x1B, 0x00, 0x3B])
        self.assertEqual(r.out.count(b"\nEjecting Tape out of the Tape Drive\n"), 1)
        self.assertEqual(r.images["d"], data)

    def test_drive_refuses_to_unload_twice(self):
        dev = h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"], medium=True,
                     faults=[{"op": "load_unload", "count": 2, "sense": "4/53/00"}])
        r, data, _ = self.download([dev], 1000, answers=b"1\ny\n\n\n0\n")
        self.assertEqual(r.err.count(b"Eject failed: Input/output error\n"), 2)
        self.assertEqual(r.out.count(b"Please eject the tape manually to proceed\n" + PAUSE), 2)
        self.assertEqual(self.ops(r).count(0x1B), 3)
        self.assertEqual(r.images["d"], data)


def toshiba_file(lines):
    """A hexadecimal firmware file: a header line, then lines holding 32
    bytes as 64 digits in columns 10 to 73 and a checksum column after."""
    out = b"TOSHIBA FIRMWARE IMAGE v1.0 -- header of any length\n"
    raw = b""
    for n in range(lines):
        chunk = bytes(((n * 32 + i) * 11 + 3) & 0xFF for i in range(32))
        raw += chunk
        out += b"%08X " % (n * 32) + chunk.hex().upper().encode() + b" %02X\n" % (sum(chunk) & 0xFF)
    return out, raw


class Unlock(Case):
    def dvd(self, name, node, **extra):
        d = {"name": name, "class": "optical", "vendor": "TOSHIBA", "product": "DVD-ROM SD-M1912",
             "serial": "TS" + name, "nodes": [node]}
        d.update(extra)
        return d

    def test_two_drives_each_with_its_own_answers(self):
        text, raw = toshiba_file(1537)
        path = self.bench.write("tosh.hex", text)
        devs = [self.dvd("a", "sr0"), self.dvd("b", "sr1")]
        r = self.bench.run(devs, args=[path], stdin=b"1-2\ny\n0\n", name="glint", speed=SPEED)
        self.assertEqual(r.status, 0, r.err)
        for name in ("a", "b"):
            cmds = r.commands(name)
            diag = [l for l in cmds if int(l["cdb"][:2], 16) in (0x1C, 0x1D, 0x1B)]
            # Each RECEIVE DIAGNOSTIC RESULTS reads the page header, then the page.
            self.assertEqual([l["cdb"][:2] for l in diag],
                             ["1d", "1c", "1c", "1d", "1c", "1c", "1b", "1d"])
            self.assertEqual(diag[6]["cdb"], "1b0000000200")
            first = bytes.fromhex(diag[2]["in"])
            second = bytes.fromhex(diag[5]["in"])
            self.assertEqual(r.images[name], h.unlocked_image(text, raw, first, second))
        self.assertNotEqual(r.images["a"], r.images["b"])

    def test_too_small_file(self):
        text, _ = toshiba_file(100)
        path = self.bench.write("tosh.hex", text)
        r = self.bench.run([self.dvd("a", "sr0")], args=[path], stdin=b"1\ny\n0\n", name="glint")
        self.assertIn(b"Firmware image for /dev/sr0 is too small for the drive unlock (%d bytes)\n"
                      % len(text), r.err)
        self.assertIn(b"Could not unlock /dev/sr0\n\n", r.out)
        self.assertEqual([l for l in r.commands("a") if l["cdb"][:2] in ("1c", "1d", "3b")], [])

    def test_failing_exchange(self):
        text, _ = toshiba_file(1537)
        path = self.bench.write("tosh.hex", text)
        dev = self.dvd("a", "sr0", faults=[{"op": "receive_diagnostic", "nth": 2,
                                            "sense": "5/24/00"}])
        r = self.bench.run([dev], args=[path], stdin=b"1\ny\n0\n", name="glint")
        self.assertIn(b"Unable to Unlock device </dev/sr0>\n", r.err)
        self.assertIn(b"Could not unlock /dev/sr0\n\n", r.out)
        self.assertEqual(r.commands("a", 0x3B), [])
        self.assertIn(b"Update failed\n", r.out)


if __name__ == "__main__":
    h.BRISK, h.EMU = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
