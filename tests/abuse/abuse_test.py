#!/usr/bin/env python3
"""Operator-side abuse of the real binary under the emulator bench: hostile
file names, huge command lines and answer lines, standard input closed at
every prompt, signal storms during a download, a node that disappears
between the listing and the download. Each case checks the exact messages,
the exit status, the commands the devices received and the bytes that
arrived.

Usage: abuse_test.py BRISK BRISK_EMU"""
import hashlib
import os
import signal
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import emu_harness as h  # noqa: E402

SPEED = 50  # brisk's recovery waits pass 50 times faster
PAUSE = "\nPress <Enter> to Continue "


def tape(name, node, **extra):
    d = {"name": name, "class": "tape", "vendor": "IBM", "product": "ULT3580-TD8",
         "revision": "0100", "serial": "SN" + name, "medium": False,
         "flash_seconds": 2, "nodes": [node]}
    d.update(extra)
    return d


def image(path, size):
    data = hashlib.sha256(b"abuse").digest() * (size // 32 + 1)
    with open(path, "wb") as f:
        f.write(data[:size])
    return data[:size]


class Case(unittest.TestCase):
    def setUp(self):
        self.b = h.Bench()
        self.addCleanup(self.b.close)
        self.fw = self.b.path("fw.bin")

    def run_brisk(self, devices, args, answers=b"", name="brisk"):
        return self.b.run(devices, args, answers, name=name, brisk_speed=SPEED)

    def interactive(self, devices, args, answers):
        run = h.Interactive(self.b, devices, args, brisk_speed=SPEED)
        run.send(answers)
        return run


class FileNames(Case):
    def test_hostile_name_reaches_no_shell(self):
        sub = self.b.path("fw dir")
        os.mkdir(sub)
        name = os.path.join(sub, "it's \"q\" $(touch MARK1) `touch MARK2` ;touch MARK3\nline.bin")
        data = image(name, 300000)
        r = self.run_brisk([tape("drive", "nst0")], ["-v", name], b"1\ny\n0\n")
        out = r.out.decode()
        self.assertEqual(r.status, 0, r.err)
        self.assertTrue(out.startswith("Opening firmware file: %s\nFile %s found, size 300000 "
                                       "bytes\n" % (name, name)), out[:400])
        self.assertEqual(r.images.get("drive"), data)
        for mark in ("MARK1", "MARK2", "MARK3"):
            self.assertFalse(os.path.exists(self.b.path(mark)), mark)
            self.assertFalse(os.path.exists(os.path.join(sub, mark)), mark)

    def test_hostile_name_on_the_optical_run(self):
        # The optical run starts a shell for its volume-manager check; the
        # file name must not reach it.
        name = self.b.path("$(touch MARK1)\n`touch MARK2`;touch MARK3")
        data = image(name, 100000)
        r = self.run_brisk([{"name": "dvd", "class": "optical", "vendor": "PLEXTOR",
                             "product": "DVDR PX-716A", "nodes": ["sr0"], "flash_seconds": 2}],
                           [name], b"1\ny\ny\n0\n", name="glint")
        self.assertEqual(r.status, 0, r.err)
        self.assertIn(b"Cannot determine firmware Download Mode for /dev/sr0.", r.out)
        self.assertEqual(r.images.get("dvd"), data)
        for mark in ("MARK1", "MARK2", "MARK3"):
            self.assertFalse(os.path.exists(self.b.path(mark)), mark)


class LongInput(Case):
    def test_ten_thousand_arguments(self):
        data = image(self.fw, 300000)
        r = self.run_brisk([tape("drive", "nst0")], ["-t"] * 9999 + [self.fw], b"1\ny\n0\n")
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual(r.err, b"")
        self.assertEqual(r.images.get("drive"), data)

    def test_ten_thousand_bad_options_give_one_usage_text(self):
        r = self.run_brisk([tape("drive", "nst0")], ["-x"] * 10000)
        self.assertEqual(r.status, 255)
        self.assertEqual(r.err, b"Usage: brisk [ filename ] [ -v ]\n\tfilename\t"
                                b"firmware/microcode filename\n")
        self.assertEqual(r.out, b"")
        self.assertEqual(r.log, [])

    def test_selection_line_of_100_kb(self):
        # Only the first 510 characters count; the rest of the line is
        # dropped, never read as the confirmation.
        data = image(self.fw, 300000)
        r = self.run_brisk([tape("drive", "nst0"), tape("other", "nst1")], [self.fw],
                           b"1," * 51200 + b"\ny\n0\n")
        out = r.out.decode()
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual(out.count("Do you want to download firmware to this device [N]? "), 1)
        self.assertNotIn("Invalid Selection", out)
        downloaded = [d for d in ("drive", "other") if d in r.images]
        self.assertEqual(len(downloaded), 1)
        self.assertEqual(r.images[downloaded[0]], data)

    def test_selection_line_of_100_kb_of_digits(self):
        image(self.fw, 1024)
        r = self.run_brisk([tape("drive", "nst0")], [self.fw], b"9" * 102400 + b"\n\n")
        self.assertEqual(r.status, 0, r.err)
        self.assertIn("\nInvalid Selection: 2147483646" + PAUSE, r.out.decode())
        self.assertEqual(r.commands("drive", 0x3B), [])


class ClosedInput(Case):
    """Standard input ends while brisk waits at a prompt: every prompt
    reads the end as its safe answer and the run ends with status 0."""

    def start(self, devices, answers, prompt):
        data = image(self.fw, 300000)
        run = self.interactive(devices, [self.fw], answers)
        run.wait_for(prompt.encode())
        run.close()
        r = run.finish()
        self.assertEqual(r.status, 0, r.err)
        return r, r.out.decode(errors="replace"), r.err.decode(errors="replace"), data

    def test_at_the_selection_prompt(self):
        r, out, err, _ = self.start([tape("drive", "nst0")], b"",
                                    "or 0 to quit) [1]: ")
        self.assertTrue(out.endswith("Select Device(s) (ex: 1,3-4) or 0 to quit) [1]: \n"), out)
        self.assertEqual(err, "")
        self.assertEqual(r.commands("drive", 0x3B), [])

    def test_with_half_a_selection_typed(self):
        r, out, err, _ = self.start([tape("drive", "nst0")], b"1", "or 0 to quit) [1]: ")
        # The half line selects; the end of input then declines.
        self.assertIn("Do you want to download firmware to this device [N]? ", out)
        self.assertTrue(out.endswith("Available    \n\nSelect Device(s) (ex: 1,3-4) or 0 to "
                                     "quit) [0]: \n"), out[-300:])
        self.assertEqual(r.commands("drive", 0x3B), [])

    def test_at_the_confirmation(self):
        r, out, err, _ = self.start([tape("drive", "nst0")], b"1\n",
                                    "to this device [N]? ")
        self.assertEqual(err, "")
        self.assertEqual(out.count("Downloading"), 0)
        self.assertEqual(r.commands("drive", 0x3B), [])

    def test_at_the_fall_back_question(self):
        r, out, err, _ = self.start(
            [tape("acme", "nst0", vendor="ACME", product="Tape 9000")], b"1\ny\n",
            "with buffer offsets [N]? ")
        self.assertEqual(err, "")
        self.assertEqual(r.commands("acme", 0x3B), [])
        self.assertEqual(r.commands("acme", 0x05), [])
        # Confirmed, so the table is shown once more at the end.
        self.assertIn("or 0 to quit) [0]: \f", out)
        self.assertTrue(out.endswith("SNacme         Available    \n\n"), out[-300:])

    def test_at_the_pause_after_an_invalid_selection(self):
        r, out, err, _ = self.start([tape("drive", "nst0")], b"7\n", PAUSE)
        self.assertTrue(out.endswith("[1]: \nInvalid Selection: 7" + PAUSE + "\n"), out[-200:])
        self.assertEqual(r.commands("drive", 0x3B), [])

    def test_at_the_pause_after_a_failed_download(self):
        r, out, err, data = self.start(
            [tape("drive", "nst0", faults=[{"op": "write_buffer", "nth": 2,
                                            "sense": "5/26/00"}])],
            b"1\ny\n", PAUSE)
        self.assertEqual(err, "Write Buffer Command Failed; Aborting Download\n"
                              "Firmware image file appears to be invalid or corrupted\n")
        self.assertEqual(len(r.commands("drive", 0x3B)), 2)
        self.assertIn("Update failed", out)

    def test_at_the_manual_eject_pause(self):
        # The drive keeps refusing to unload; with nobody left to press
        # Enter the run must neither spin nor end the download early.
        image(self.fw, 1024)
        run = self.interactive([tape("stuck", "nst0", medium=True, faults=[
            {"op": "load_unload", "count": 0, "sense": "4/53/00"}])], [self.fw], b"1\ny\n")
        run.wait_for(b"Please eject the tape manually to proceed\n")
        run.close()
        time.sleep(2)
        unloads = len(run.result().commands("stuck", 0x1B))
        run.kill()
        run.finish()
        # At most one more unload per settle period of 5 (faked: 0.1) seconds.
        self.assertLess(unloads, 40)


class Signals(Case):
    def test_signal_storm_during_a_download(self):
        data = image(self.fw, 2 * 1024 * 1024)
        run = self.interactive([tape("drive", "nst0")], ["-l", "512", self.fw], b"1\ny\n")
        run.wait_for(b"Downloading /dev/nst0... please wait.\n")
        sent = 0
        stop = threading.Event()

        def storm():
            nonlocal sent
            sigs = [signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGTSTP]
            while not stop.is_set():
                # brisk-emu passes each signal on to brisk.
                run.proc.send_signal(sigs[sent % 4])
                sent += 1
                time.sleep(0.01)

        t = threading.Thread(target=storm)
        t.start()
        try:
            run.wait_for(b"or 0 to quit) [0]: ")
        finally:
            stop.set()
            t.join()
        run.send(b"0\n")
        run.close()
        r = run.finish()
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual(r.err, b"")
        self.assertGreater(sent, 20)
        self.assertEqual(len(r.commands("drive", 0x3B)), 2 * 1024 * 1024 // 512)
        self.assertEqual(r.images.get("drive"), data)
        self.assertIn(b"F/W Upgraded", r.out)


class VanishingNode(Case):
    def test_node_gone_between_listing_and_download(self):
        data = image(self.fw, 300000)
        run = self.interactive([tape("first", "nst0"), tape("second", "nst1")], [self.fw],
                               b"1-2\n")
        run.wait_for(b"to these devices [N]? ")
        # Remove the first device's node from the test bed the command sees.
        with open("/proc/%d/environ" % h.child_of(run.proc.pid), "rb") as f:
            env = f.read().split(b"\0")
        testbed = [e.split(b"=", 1)[1] for e in env if e.startswith(b"UMOCKDEV_DIR=")][0]
        table = run.out.decode()
        first_path = "/dev/" + table.split("\n1:")[1].split()[0]
        gone = "first" if first_path == "/dev/nst0" else "second"
        kept = "second" if gone == "first" else "first"
        os.unlink(os.path.join(testbed.decode(), "dev", first_path[5:]))
        run.send(b"y\n\n0\n")
        run.close()
        r = run.finish()
        self.assertEqual(r.status, 0, r.err)
        self.assertEqual(r.err.decode(), "Unable to Open device <%s>: error: No such file or "
                                         "directory\nDownload not performed\n" % first_path)
        self.assertEqual(r.images.get(gone), None)
        self.assertEqual(r.commands(gone, 0x3B), [])
        self.assertEqual(r.images.get(kept), data)
        self.assertIn(b"Update failed", r.out)
        self.assertIn(b"F/W Upgraded", r.out)


if __name__ == "__main__":
    h.BRISK = os.path.abspath(sys.argv[1])
    h.EMU = os.path.abspath(sys.argv[2])
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
