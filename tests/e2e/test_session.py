#!/usr/bin/env python3
"""Operator sessions of the real binary under the emulator bench: selection
lines, confirmation, downloads one after the other, the closing countdown,
recovery checks, signals and end of input."""
import json
import os
import re
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu_harness as h  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(HERE, "..", "..", "demo", "library.json")
SPEED = 200
PAUSE = b"\nPress <Enter> to Continue "
WARNING = (b"\nOne or more devices has not yet completed flash update and/or download\n"
           b"recovery time.  Devices must not be utilized until after this recovery\n"
           b"period has expired, or permanent damage may result.\n\n"
           b"This program will release all devices and terminate in\n")


def five():
    return [h.tape("d%d" % i, "IBM", "ULT3580-TD8", "Q3D4", "SN%d" % i, nodes=["nst%d" % i])
            for i in range(5)]


class Session(unittest.TestCase):
    def setUp(self):
        self.bench = h.Bench()
        self.fw = self.bench.write("fw.bin", bytes(range(256)) * 512)

    def tearDown(self):
        self.bench.close()

    def inventory(self, devices, filters=h.TAPE_FILTERS, types=(1, 8)):
        return [d["name"] for _, d in h.expected_inventory(self.bench, devices, filters, types)]

    def run_brisk(self, devices, stdin, args=(), **kw):
        kw.setdefault("speed", SPEED)
        return self.bench.run(devices, args=list(args) + [self.fw], stdin=stdin, **kw)


class Readings(Session):
    # line typed, devices selected, invalid numbers reported
    CASES = [
        (b"1,3-4", [1, 3, 4], []), (b"3-5", [3, 4, 5], []), (b"1 3", [1, 2, 3], []),
        (b"1, 3", [1, 3], []), (b"", [1], []), (b"0", [], []), (b"x", [], []),
        (b"2,0,4", [2], []), (b"3-9", [3, 4, 5], [9]), (b"5-3", [5], [3]), (b"7", [], [7]),
        (b"   ", [], []),
    ]

    def test_worked_readings(self):
        devices = five()
        order = self.inventory(devices)
        for line, chosen, invalid in self.CASES:
            with self.subTest(line=line):
                stdin = line + b"\n" + b"\n" * len(invalid) + b"n\n0\n"
                r = self.run_brisk(devices, stdin)
                self.assertEqual(r.status, 0)
                notices = [int(n) for n in re.findall(rb"\nInvalid Selection: (-?\d+)" +
                                                      re.escape(PAUSE), r.out)]
                self.assertEqual(notices, invalid)
                m = re.search(rb"\n((?:[^\n]*Selected     \n)+)\nDo you want to download firmware "
                              rb"to th(is device|ese devices) \[N\]\? ", r.out)
                if not chosen:
                    self.assertIsNone(m)
                    self.assertTrue(r.out.endswith(b"[1]: \n") or r.out.endswith(PAUSE + b"\n"))
                    continue
                shown = [row.split(b"\t")[1][:8].strip() for row in m.group(1).splitlines()]
                names = [order[i - 1] for i in chosen]
                self.assertEqual(len(shown), len(names))
                self.assertEqual(m.group(2), b"is device" if len(chosen) == 1 else b"ese devices")
                # Declined: all back to available, nothing sent.
                self.assertEqual(r.commands(op=0x3B), [])
                last = r.out.rsplit(h.HEADER, 1)[1]
                self.assertEqual(last.count(b"Available    \n"), 5)


def order_first(case):
    return case.inventory(five())[0]


class Dialogue(Session):
    def test_default_advances_and_quitting_prints_only_a_newline(self):
        devices = five()
        r = self.run_brisk(devices, b"2\ny\n\n\ny\n\n0\n")
        # After device 2 the default is 3; the empty line takes it.
        prompts = re.findall(rb"or 0 to quit\) \[(\d+)\]: ", r.out)
        self.assertEqual(prompts[:3], [b"1", b"3", b"4"])
        r = self.run_brisk(devices, b"5\ny\n\n")
        prompts = re.findall(rb"or 0 to quit\) \[(\d+)\]: ", r.out)
        self.assertEqual(prompts, [b"1", b"0"])
        self.assertEqual(r.status, 0)
        # Nothing confirmed: the run ends with the prompt and a newline.
        r = self.run_brisk(devices, b"1\nn\n0\n")
        self.assertTrue(r.out.endswith(b"[2]: \n"))
        self.assertNotIn(b"One or more devices", r.out)

    def test_busy_devices_redisplay_silently(self):
        devices = five()
        r = self.run_brisk(devices, b"1\ny\n1\n0\n")
        after = r.out.split(b"[2]: ", 1)[1]
        # The table again, then the same prompt with the default 2.
        self.assertTrue(after.startswith(h.HEADER), after[:200])
        self.assertIn(b"[2]: ", after)
        self.assertEqual({l["device"] for l in r.commands(op=0x3B)}, {order_first(self)})

    def test_end_of_input(self):
        devices = five()
        for stdin, downloads in ((None, 0), (b"", 0), (b"1\n", 0), (b"1\ny\n", 1)):
            with self.subTest(stdin=stdin):
                r = self.run_brisk(devices, stdin)
                self.assertEqual(r.status, 0)
                self.assertEqual(len({l["device"] for l in r.commands(op=0x3B)}), downloads)
                self.assertTrue(r.out.endswith(b"\n"))
                if downloads:
                    self.assertIn(WARNING, r.out)
                    self.assertIn(b"F/W Upgraded \n", r.out)


class Demo(Session):
    def demo(self):
        with open(DEMO) as f:
            return json.load(f)["devices"]

    def test_two_families_end_to_end(self):
        devices = self.demo()
        order = self.inventory(devices)
        pick = b"%d,%d" % (order.index("lto6") + 1, order.index("dlts4") + 1)
        size = 393216
        data = bytes((i * 31 + 7) & 0xFF for i in range(size))
        fw = self.bench.write("demo.bin", data)
        r = self.bench.run(devices, args=[fw], stdin=pick + b"\ny\n0\n", speed=SPEED)
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual((r.images["lto6"], r.images["dlts4"]), (data, data))
        self.assertIn(WARNING + b"\t3 minutes, ", r.out)
        self.assertIn(b"\t0 seconds... ", r.out)
        final = r.out.rsplit(h.HEADER, 1)[1]
        self.assertIn(b"HP        Ultrium 6-SCSI    J6SW  HU1234567A     F/W Upgraded \n", final)
        self.assertIn(b"QUANTUM   DLT-S4            2626  QP0123456789   F/W Upgraded \n", final)
        self.assertTrue(final.endswith(b"F/W Upgraded \n\n") or final.endswith(b"Available    \n\n"))

    def test_debug_session_in_real_time(self):
        devices = self.demo()
        order = self.inventory(devices)
        pick = b"%d,%d" % (order.index("lto6") + 1, order.index("dlts4") + 1)
        r = self.bench.run(devices, args=["-d", self.fw], stdin=pick + b"\ny\n0\n")
        self.assertEqual(r.status, 0)
        self.assertEqual(r.commands(op=0x3B), [])
        self.assertEqual(r.commands(op=0x1B), [])
        self.assertGreater(r.elapsed, 14)
        self.assertLess(r.elapsed, 45)
        # Signals: masked at each download, restored once at the end, in order.
        lines = [l for l in r.err.splitlines() if l.startswith((b"Disabling", b"Enabling"))]
        dis = [b"Disabling signal %d..." % s for s in (2, 3, 15, 20)]
        en = [b"Enabling signal %d..." % s for s in (2, 3, 15, 20)]
        self.assertEqual(lines, dis + dis + en)


class Recovery(Session):
    def test_drive_that_needs_a_reset(self):
        dev = h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"],
                     faults=[{"op": "test_unit_ready", "nth": 2, "count": 0,
                              "sense": "6/29/00", "until_reset": True}])
        for args, told in (([], False), (["-v"], True)):
            with self.subTest(args=args):
                r = self.run_brisk([dev], b"1\ny\n0\n", args=args)
                self.assertEqual(b"Sending scsi-reset to /dev/nst0\n" in r.out, told)
                resets = r.resets("d")
                self.assertEqual([x["reset"] for x in resets], ["target"])
                self.assertIn(b"Waiting for /dev/nst0 to become ready (15 seconds)...\n", r.out)
                self.assertIn(b"F/W Upgraded \n", r.out.rsplit(h.HEADER, 1)[1])

    def test_drive_that_never_answers(self):
        dev = h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"],
                     faults=[{"op": "test_unit_ready", "nth": 2, "count": 0, "errno": 5}])
        r = self.run_brisk([dev], b"1\ny\n0\n")
        self.assertEqual(r.status, 0)
        waits = r.out.count(b"Waiting for /dev/nst0 to become ready (15 seconds)...\n")
        self.assertGreaterEqual(waits, 8)
        self.assertEqual(waits % 8, 0)  # each check gives up after 8 waits
        final = r.out.rsplit(h.HEADER, 1)[1]
        self.assertIn(b"ULT3580-TD8       ----  SNd            Unavailable  \n", final)

    def test_empty_drive_is_accepted_without_reset(self):
        r = self.run_brisk([h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"])], b"1\ny\n0\n")
        self.assertEqual(r.resets(), [])
        self.assertNotIn(b"Waiting for", r.out)
        self.assertIn(b"F/W Upgraded \n", r.out.rsplit(h.HEADER, 1)[1])

    def test_unknown_device_that_answers_again(self):
        # The first check runs out (2 + 8 x 2 tests) before the second
        # download; the pass after that download finds the drive again.
        devs = [h.tape("d", "IBM", "ULT3580-TD8", nodes=["nst0"],
                       faults=[{"op": "test_unit_ready", "nth": 2, "count": 18, "errno": 5}]),
                h.tape("e", "IBM", "ULT3580-TD8", nodes=["nst1"])]
        first = self.inventory(devs).index("d") + 1
        r = self.run_brisk(devs, [(0, b"%d\ny\n" % first), (1.5, b"%d\ny\n0\n" % (3 - first))])
        self.assertIn(b"----  SNd            Unavailable  \n", r.out)
        self.assertIn(b"0101  SNd            Available    \n", r.out.rsplit(h.HEADER, 1)[1])


class Signals(Session):
    def test_terminal_signals_do_not_stop_the_countdown(self):
        dev = h.tape("d", "HP", "Ultrium 6-SCSI", nodes=["nst0"])
        sigs = [(2.0, signal.SIGINT), (0.3, signal.SIGQUIT), (0.3, signal.SIGTERM),
                (0.3, signal.SIGTSTP)]
        # 120 s of recovery at 20 times the speed: about 6 s of countdown.
        r = self.run_brisk([dev], b"1\ny\n0\n", speed=20, signals=sigs)
        self.assertEqual(r.status, 0, r.err)
        self.assertIn(b"\t0 seconds... ", r.out)
        self.assertIn(b"F/W Upgraded \n", r.out.rsplit(h.HEADER, 1)[1])


if __name__ == "__main__":
    h.BRISK, h.EMU = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
