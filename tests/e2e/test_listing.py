#!/usr/bin/env python3
"""Listing mode of the real binary under the emulator bench: the device
table byte for byte, the duplicate pass, the type filter, paging on a
terminal, the -v/-d messages and the parameter table."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu_harness as h  # noqa: E402

# The parameter table as brisk prints it after a -v or -d listing.
PARAM_ROWS = [
    ("ADIC", "FastStor 2", 5, 0, 1, 0), ("ADIC", "FastStor 2", 5, 0, 1, 0),
    ("ADIC", "FastStor", 5, 0, 0, 0), ("ARCHIVE", "", 5, 0, 1, 0),
    ("EXABYTE", "", 5, 1, 0, 0), ("HP", "ThinStor", 5, 0, 1, 0),
    ("HP", "ThinStor", 5, 0, 1, 0), ("HP", "Ultrium", 4, 0, 0, 65536),
    ("HP", "", 4, 0, 0, 32768), ("IBM", "", 4, 0, 0, 0), ("QUANTUM", "DLT", 5, 0, 0, 0),
    ("QUANTUM", "", 4, 0, 0, 0), ("SEAGATE", "ULTRIUM", 6, 0, 0, 0),
    ("SEAGATE", "", 5, 0, 0, 8192), ("STK", "", 6, 0, 0, 0), ("TANDBERG", "", 7, 0, 0, 0),
    ("TOSHIBA", "", 5, 0, 0, 0), ("default", "", 5, 0, 0, 0),
]


def param_table(xfer=None):
    out = (b"\n\nSupplier    \tProduct ID\tMode\tControl\tCommands\tXfer Size\n"
           b"------------\t----------\t----\t-------\t--------\t---------\n")
    for vendor, product, mode, control, single, size in PARAM_ROWS:
        size = xfer if xfer is not None else size
        out += b"%s      \t" % vendor.encode()
        if not product:
            out += b"        "
        out += b"%s   \t  %d\t   %d\t" % (product.encode(), mode, control)
        out += b"Single  " if single else b"Multiple"
        out += b"\t%8xh\n" % size if size else b"\n"
    return out


LIBRARY = [
    # One drive seen through four paths: two st nodes, a by-id link, sg.
    h.tape("lto", "HP", "Ultrium 6-SCSI", "J5SW", "HU1234567A",
           nodes=["nst0", "nst0l", "sg0"], links=["tape/by-id/scsi-HU1234567A-nst"]),
    h.tape("ibm", "IBM", "ULT3580-TD8", "Q3D4", "12345678901234567890", nodes=["nst1", "sg1"]),
    {"name": "changer", "class": "changer", "vendor": "ADIC", "product": "FastStor 2",
     "revision": "F.0B", "serial": "ADIC1234    ", "nodes": ["sch0", "sg2"]},
    # Type 1 with a non-zero qualifier: not connected, never listed.
    h.tape("offline", "HP", "Ultrium 5-SCSI", "I5AW", "HU0000000B", nodes=["nst2"], byte0=0x21),
    h.tape("ctl", "QUA\u0007TUM", "DLT-S4", "2525", "QP0123", nodes=["nst3"]),
    # A node name of ten characters whose tenth is a digit.
    h.tape("longname", "SEAGATE", "ULTRIUM06242-XXX", "1619", "SG1", nodes=["nst0000004"]),
    h.tape("blanks", "TANDBERG", "LTO-6 HH", "3AY4", " " * 10, nodes=["nst5"]),
]

OTHERS = [{"path": "ttyS0", "dev": "4:64"}, {"path": "bsg", "directory": True},
          {"path": "sgx-not-scsi", "dev": "10:200"}]


class Listing(unittest.TestCase):
    def setUp(self):
        self.bench = h.Bench()

    def tearDown(self):
        self.bench.close()

    def expect_table(self, devices, filters, types, name, args=(), others=()):
        inv = h.expected_inventory(self.bench, devices, filters, types, others)
        r = self.bench.run(devices, args=args, name=name, others=others)
        return inv, r, h.table(h.rows_for(inv))

    def test_tape_library_table(self):
        inv, r, want = self.expect_table(LIBRARY, h.TAPE_FILTERS, (1, 8), "brisk",
                                         others=OTHERS)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, want)
        self.assertEqual(r.err, b"")
        names = [d["name"] for _, d in inv]
        self.assertEqual(sorted(names), sorted(["lto", "ibm", "changer", "ctl", "longname",
                                                "blanks"]))
        # The fixed expectations the oracle must agree with.
        rows = dict((d["name"], line) for (_, d), line in zip(inv, h.rows_for(inv)))
        self.assertIn(b"901234567890   Available", rows["ibm"])
        self.assertIn(b"\tQUA TUM   DLT-S4", rows["ctl"])
        self.assertTrue(rows["longname"].split(b":", 1)[1].startswith(b"nst000000...\t"))
        self.assertIn(b"ADIC1234       Available", rows["changer"])
        self.assertIn(b"3AY4                 Available", rows["blanks"])
        # Only the first path met of the four reaching the HP drive is listed.
        lto_paths = [p for p, d in inv if d["name"] == "lto"]
        self.assertEqual(len(lto_paths), 1)

    def test_optical_table_under_glint(self):
        devices = [
            {"name": "dvd", "class": "optical", "vendor": "TOSHIBA", "product": "DVD-ROM SD-M1912",
             "revision": "1012", "serial": "TS0001", "nodes": ["sr0", "sg3"]},
            {"name": "mo", "class": "optical-memory", "vendor": "FUJITSU", "product": "MCP3130SS",
             "revision": "0010", "serial": "MO0002", "nodes": ["sg4"]},
            h.tape("tape", "HP", "Ultrium 6-SCSI", "J5SW", "HU1", nodes=["nst0", "sg5"]),
        ]
        inv, r, want = self.expect_table(devices, h.OPTICAL_FILTERS, (5, 7), "glint")
        self.assertEqual([d["name"] for _, d in inv].count("tape"), 0)
        self.assertEqual(len(inv), 2)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, want)
        # A tape run does not list them.
        inv, r, want = self.expect_table(devices, h.TAPE_FILTERS, (1, 8), "brisk")
        self.assertEqual([d["name"] for _, d in inv], ["tape"])
        self.assertEqual(r.out, want)

    def test_no_device(self):
        for name in ("brisk", "glint"):
            r = self.bench.run([], name=name, others=OTHERS)
            self.assertEqual((r.status, r.out, r.err), (0, b"\nNO SUPPORTED DEVICES FOUND\n\n", b""))

    def test_parameter_table_after_verbose_and_debug_listing(self):
        devices = LIBRARY[:2]
        inv = h.expected_inventory(self.bench, devices, h.TAPE_FILTERS, (1, 8))
        table = h.table(h.rows_for(inv))
        r = self.bench.run(devices, args=["-v"])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, table + param_table())
        r = self.bench.run(devices, args=["-d"])
        self.assertEqual(r.out, b"Executing in debug mode...\n" + table + param_table())
        r = self.bench.run(devices, args=["-l", "1024", "-v"])
        self.assertEqual(r.out, table + param_table(1024))
        self.assertEqual(r.out.count(b"     400h\n"), 18)
        r = self.bench.run(devices)
        self.assertEqual(r.out, table)

    def test_verbose_messages_and_trace(self):
        devices = [
            h.tape("gone", "HP", "Ultrium 6-SCSI", "J5SW", "HU1", nodes=["nst0"], enxio=["nst0"]),
            # INQUIRY answers the duplicate pass (three commands) but not the inventory.
            h.tape("mute", "IBM", "ULT3580-TD8", "Q3D4", "IBM2", nodes=["nst1"],
                   faults=[{"op": "inquiry", "nth": 4, "count": 0, "sense": "4/44/00"}]),
            h.tape("fine", "IBM", "ULT3580-TD8", "Q3D4", "IBM3", nodes=["nst2"]),
        ]
        r = self.bench.run(devices, args=["-v"])
        self.assertEqual(r.status, 0)
        self.assertIn(b"Unable to open device: /dev/nst0, <Error:> No such device or address\n", r.err)
        self.assertIn(b"Inquiry command on device /dev/nst1 failed\n", r.err)
        self.assertIn(b"    Issuing the following SCSI command: Request Sense\n", r.err)
        self.assertIn(b"    Issuing the following SCSI command: Inquiry\n", r.err)
        self.assertIn(b"1:nst2     \tIBM       ULT3580-TD8       Q3D4  IBM3           Available    \n",
                      r.out)
        self.assertNotIn(b"2:", r.out)
        # Silent without -v, and with -v -d together.
        for args in ([], ["-v", "-d"]):
            r = self.bench.run(devices, args=args)
            self.assertNotIn(b"Unable to open device", r.err)
            self.assertNotIn(b"Inquiry command on device", r.err)

    def test_inventory_commands(self):
        devices = [h.tape("lto", "HP", "Ultrium 6-SCSI", "J5SW", "HU1", nodes=["nst0", "sg0"]),
                   {"name": "lib", "class": "changer", "vendor": "HP", "product": "MSL G3",
                    "serial": "HU2", "nodes": ["sg1"]}]
        r = self.bench.run(devices)
        ops = [(l["node"], l["cdb"]) for l in r.log]
        # INQUIRY: serial page header (page of 3 + 4 bytes), page, standard data.
        ident = ["120180000400", "120180000700", "120000003000"]
        # The duplicate pass, then REQUEST SENSE and INQUIRY for the inventory.
        # The generic node of a drive that st serves is never opened: while
        # another program holds the drive, it would be a way around st's claim.
        want = [("/dev/nst0", c) for c in ident] + [("/dev/sg1", c) for c in ident]
        want += [("/dev/nst0", "030000002400")] + [("/dev/nst0", c) for c in ident]
        want += [("/dev/sg1", "030000002400")] + [("/dev/sg1", c) for c in ident]
        self.assertEqual(ops, want)


class Paging(unittest.TestCase):
    def setUp(self):
        self.bench = h.Bench()

    def tearDown(self):
        self.bench.close()

    def drives(self, n):
        return [h.tape("d%d" % i, "IBM", "ULT3580-TD8", "Q3D4", "SN%05d" % i,
                       nodes=["nst%d" % i]) for i in range(n)]

    def paged(self, rows, page):
        out = b""
        for i in range(0, len(rows), page):
            if i:
                out += b"\nPress <Enter> to Continue "
            out += h.HEADER + b"".join(rows[i:i + page])
        return out

    def check(self, count, term_rows, page):
        devices = self.drives(count)
        rows = h.rows_for(h.expected_inventory(self.bench, devices, h.TAPE_FILTERS, (1, 8)))
        pauses = (count - 1) // page
        answers = [(b"Press <Enter> to Continue ", b"\n")] * pauses
        r = self.bench.run(devices, pty_rows=term_rows, answers=answers, stdin=None)
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual(r.out, self.paged(rows, page))

    def test_pages(self):
        for count, term_rows, page in [(20, 24, 18), (18, 24, 18), (5, 8, 2), (4, 8, 2),
                                       (17, 7, 16), (16, 7, 16)]:
            with self.subTest(devices=count, rows=term_rows):
                self.check(count, term_rows, page)

    def test_pipe_pages_after_16(self):
        devices = self.drives(17)
        rows = h.rows_for(h.expected_inventory(self.bench, devices, h.TAPE_FILTERS, (1, 8)))
        r = self.bench.run(devices, stdin=b"\n")
        self.assertEqual(r.out, self.paged(rows, 16))


if __name__ == "__main__":
    h.BRISK, h.EMU = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
