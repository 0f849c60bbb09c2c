#!/usr/bin/env python3
"""Operator-side abuse of the real binary under the emulator bench: hostile
file names, huge command lines and answer lines, standard input closed at
every prompt, signal storms during a download, a node that disappears
between the listing and the download. Each case checks the exact messages,
the exit status, the commands the devices received and the bytes that
arrived.

Usage: abuse_test.py BRISK BRISK_EMU"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BRISK = None
EMU = None
# The faked clock goes to brisk alone, through a shell that execs it (same
# process, so signals relayed by brisk-emu reach brisk itself). The bench
# keeps the real clock: its flash periods are short, and a faked clock in a
# sanitized bench breaks its worker thread's waits.
FAKED = ('LD_PRELOAD="$LD_PRELOAD:/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1" '
         'FAKETIME="+0 x50" exec "$0" "$@"')
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


class Bench:
    """One run of brisk under brisk-emu with a faked clock (recovery waits
    pass 50 times faster), in its own directory."""

    def __init__(self, test, devices):
        self.dir = tempfile.mkdtemp(prefix="abuse-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.scenario = os.path.join(self.dir, "s.json")
        with open(self.scenario, "w") as f:
            json.dump({"devices": devices}, f)
        self.logfile = os.path.join(self.dir, "log.jsonl")
        self.images = os.path.join(self.dir, "img")

    def argv(self, args, program=None):
        return [EMU, "--scenario", self.scenario, "--log", self.logfile,
                "--images", self.images, "--", "/bin/sh", "-c", FAKED,
                program or BRISK] + args

    def run(self, args, answers=b"", program=None, timeout=120):
        shutil.rmtree(self.images, True)
        return subprocess.run(self.argv(args, program), input=answers, capture_output=True,
                              cwd=self.dir, timeout=timeout)

    def log(self):
        with open(self.logfile) as f:
            return [json.loads(line) for line in f if line.strip()]

    def commands(self, device, opcode):
        return [c for c in self.log() if c.get("device") == device
                and c.get("cdb", "").startswith(opcode)]

    def received(self, device):
        path = os.path.join(self.images, device + ".img")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


class Interactive:
    """brisk under the bench with its streams on pipes: wait for a text on
    standard output, then answer, or close standard input."""

    def __init__(self, bench, args, program=None):
        shutil.rmtree(bench.images, True)
        # A session of its own, so that the whole run can be ended at once.
        self.proc = subprocess.Popen(bench.argv(args, program), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     cwd=bench.dir, start_new_session=True)
        self.out = b""
        self.err = b""
        self.cond = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, "out")),
                        threading.Thread(target=self._read, args=(self.proc.stderr, "err"))]
        for t in self.readers:
            t.start()

    def _read(self, stream, which):
        while True:
            chunk = os.read(stream.fileno(), 65536)
            with self.cond:
                if chunk:
                    setattr(self, which, getattr(self, which) + chunk)
                self.cond.notify_all()
            if not chunk:
                return

    def wait_for(self, text, occurrence=1, timeout=60):
        deadline = time.monotonic() + timeout
        with self.cond:
            while self.out.count(text) < occurrence:
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and self.out.count(text) < occurrence:
                    raise AssertionError("never saw %r; output so far:\n%s" %
                                         (text, self.out.decode(errors="replace")))
                self.cond.wait(min(left, 0.2))

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close(self):
        self.proc.stdin.close()

    def kill(self):
        os.killpg(self.proc.pid, signal.SIGKILL)

    def finish(self, timeout=120):
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        finally:
            for t in self.readers:
                t.join(timeout=10)
            for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                if not stream.closed:
                    stream.close()
        return rc, self.out.decode(errors="replace"), self.err.decode(errors="replace")


class FileNames(unittest.TestCase):
    def test_hostile_name_reaches_no_shell(self):
        b = Bench(self, [tape("drive", "nst0")])
        sub = os.path.join(b.dir, "fw dir")
        os.mkdir(sub)
        name = os.path.join(sub, "it's \"q\" $(touch MARK1) `touch MARK2` ;touch MARK3\nline.bin")
        data = image(name, 300000)
        proc = b.run(["-v", name], b"1\ny\n0\n")
        out = proc.stdout.decode()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertTrue(out.startswith("Opening firmware file: %s\nFile %s found, size 300000 "
                                       "bytes\n" % (name, name)), out[:400])
        self.assertEqual(b.received("drive"), data)
        for mark in ("MARK1", "MARK2", "MARK3"):
            self.assertFalse(os.path.exists(os.path.join(b.dir, mark)), mark)
            self.assertFalse(os.path.exists(os.path.join(sub, mark)), mark)

    def test_hostile_name_on_the_optical_run(self):
        # The optical run starts a shell for its volume-manager check; the
        # file name must not reach it.
        b = Bench(self, [{"name": "dvd", "class": "optical", "vendor": "PLEXTOR",
                          "product": "DVDR PX-716A", "nodes": ["sr0"], "flash_seconds": 2}])
        name = os.path.join(b.dir, "$(touch MARK1)\n`touch MARK2`;touch MARK3")
        data = image(name, 100000)
        glint = os.path.join(b.dir, "glint")
        os.symlink(BRISK, glint)
        proc = b.run([name], b"1\ny\ny\n0\n", program=glint)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("Cannot determine firmware Download Mode for /dev/sr0.",
                      proc.stdout.decode())
        self.assertEqual(b.received("dvd"), data)
        for mark in ("MARK1", "MARK2", "MARK3"):
            self.assertFalse(os.path.exists(os.path.join(b.dir, mark)), mark)


class LongInput(unittest.TestCase):
    def test_ten_thousand_arguments(self):
        b = Bench(self, [tape("drive", "nst0")])
        fw = os.path.join(b.dir, "fw.bin")
        data = image(fw, 300000)
        proc = b.run(["-t"] * 9999 + [fw], b"1\ny\n0\n")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stderr, b"")
        self.assertEqual(b.received("drive"), data)

    def test_ten_thousand_bad_options_give_one_usage_text(self):
        b = Bench(self, [tape("drive", "nst0")])
        proc = b.run(["-x"] * 10000)
        self.assertEqual(proc.returncode, 255)
        self.assertEqual(proc.stderr.decode(),
                         "Usage: %s [ filename ] [ -v ]\n\tfilename\tfirmware/microcode "
                         "filename\n" % BRISK)
        self.assertEqual(proc.stdout, b"")
        self.assertEqual(b.log(), [])

    def test_selection_line_of_100_kb(self):
        # Only the first 510 characters count; the rest of the line is
        # dropped, never read as the confirmation.
        b = Bench(self, [tape("drive", "nst0"), tape("other", "nst1")])
        fw = os.path.join(b.dir, "fw.bin")
        data = image(fw, 300000)
        proc = b.run([fw], b"1," * 51200 + b"\ny\n0\n")
        out = proc.stdout.decode()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(out.count("Do you want to download firmware to this device [N]? "), 1)
        self.assertNotIn("Invalid Selection", out)
        downloaded = [d for d in ("drive", "other") if b.received(d) is not None]
        self.assertEqual(len(downloaded), 1)
        self.assertEqual(b.received(downloaded[0]), data)

    def test_selection_line_of_100_kb_of_digits(self):
        b = Bench(self, [tape("drive", "nst0")])
        fw = os.path.join(b.dir, "fw.bin")
        image(fw, 1024)
        proc = b.run([fw], b"9" * 102400 + b"\n\n")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("\nInvalid Selection: 2147483646" + PAUSE, proc.stdout.decode())
        self.assertEqual(b.commands("drive", "3b"), [])


class ClosedInput(unittest.TestCase):
    """Standard input ends while brisk waits at a prompt: every prompt
    reads the end as its safe answer and the run ends with status 0."""

    def start(self, devices, answers, prompt, args=None, program=None):
        b = Bench(self, devices)
        fw = os.path.join(b.dir, "fw.bin")
        data = image(fw, 300000)
        run = Interactive(b, (args or []) + [fw], program)
        if answers:
            run.send(answers)
        run.wait_for(prompt.encode())
        run.close()
        rc, out, err = run.finish()
        self.assertEqual(rc, 0, err)
        return b, out, err, data

    def test_at_the_selection_prompt(self):
        b, out, err, _ = self.start([tape("drive", "nst0")], b"",
                                    "or 0 to quit) [1]: ")
        self.assertTrue(out.endswith("Select Device(s) (ex: 1,3-4) or 0 to quit) [1]: \n"), out)
        self.assertEqual(err, "")
        self.assertEqual(b.commands("drive", "3b"), [])

    def test_with_half_a_selection_typed(self):
        b, out, err, _ = self.start([tape("drive", "nst0")], b"1", "or 0 to quit) [1]: ")
        # The half line selects; the end of input then declines.
        self.assertIn("Do you want to download firmware to this device [N]? ", out)
        self.assertTrue(out.endswith("Available    \n\nSelect Device(s) (ex: 1,3-4) or 0 to "
                                     "quit) [0]: \n"), out[-300:])
        self.assertEqual(b.commands("drive", "3b"), [])

    def test_at_the_confirmation(self):
        b, out, err, _ = self.start([tape("drive", "nst0")], b"1\n",
                                    "to this device [N]? ")
        self.assertEqual(err, "")
        self.assertEqual(out.count("Downloading"), 0)
        self.assertEqual(b.commands("drive", "3b"), [])

    def test_at_the_fall_back_question(self):
        b, out, err, _ = self.start(
            [tape("acme", "nst0", vendor="ACME", product="Tape 9000")], b"1\ny\n",
            "with buffer offsets [N]? ")
        self.assertEqual(err, "")
        self.assertEqual(b.commands("acme", "3b"), [])
        self.assertEqual(b.commands("acme", "05"), [])
        # Confirmed, so the table is shown once more at the end.
        self.assertIn("or 0 to quit) [0]: \f", out)
        self.assertTrue(out.endswith("SNacme         Available    \n\n"), out[-300:])

    def test_at_the_pause_after_an_invalid_selection(self):
        b, out, err, _ = self.start([tape("drive", "nst0")], b"7\n", PAUSE)
        self.assertTrue(out.endswith("[1]: \nInvalid Selection: 7" + PAUSE + "\n"), out[-200:])
        self.assertEqual(b.commands("drive", "3b"), [])

    def test_at_the_pause_after_a_failed_download(self):
        b, out, err, data = self.start(
            [tape("drive", "nst0", faults=[{"op": "write_buffer", "nth": 2,
                                            "sense": "5/26/00"}])],
            b"1\ny\n", PAUSE)
        self.assertEqual(err, "Write Buffer Command Failed; Aborting Download\n"
                              "Firmware image file appears to be invalid or corrupted\n")
        self.assertEqual(len(b.commands("drive", "3b")), 2)
        self.assertIn("Update failed", out)

    def test_at_the_manual_eject_pause(self):
        # The drive keeps refusing to unload; with nobody left to press
        # Enter the run must neither spin nor end the download early.
        b = Bench(self, [tape("stuck", "nst0", medium=True,
                              faults=[{"op": "load_unload", "count": 0, "sense": "4/53/00"}])])
        fw = os.path.join(b.dir, "fw.bin")
        image(fw, 1024)
        run = Interactive(b, [fw])
        run.send(b"1\ny\n")
        run.wait_for(b"Please eject the tape manually to proceed\n")
        run.close()
        time.sleep(2)
        unloads = len(b.commands("stuck", "1b"))
        run.kill()
        run.finish()
        # At most one more unload per settle period of 5 (faked: 0.1) seconds.
        self.assertLess(unloads, 40)


class Signals(unittest.TestCase):
    def test_signal_storm_during_a_download(self):
        b = Bench(self, [tape("drive", "nst0")])
        fw = os.path.join(b.dir, "fw.bin")
        data = image(fw, 2 * 1024 * 1024)
        run = Interactive(b, ["-l", "512", fw])
        run.send(b"1\ny\n")
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
        rc, out, err = run.finish()
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "")
        self.assertGreater(sent, 20)
        self.assertEqual(len(b.commands("drive", "3b")), 2 * 1024 * 1024 // 512)
        self.assertEqual(b.received("drive"), data)
        self.assertIn("F/W Upgraded", out)


class VanishingNode(unittest.TestCase):
    def test_node_gone_between_listing_and_download(self):
        b = Bench(self, [tape("first", "nst0"), tape("second", "nst1")])
        fw = os.path.join(b.dir, "fw.bin")
        data = image(fw, 300000)
        run = Interactive(b, [fw])
        run.send(b"1-2\n")
        run.wait_for(b"to these devices [N]? ")
        # Remove the first device's node from the test bed the command sees.
        with open("/proc/%d/task/%d/children" % (run.proc.pid, run.proc.pid)) as f:
            child = f.read().split()
        with open("/proc/%s/environ" % child[0], "rb") as f:
            env = f.read().split(b"\0")
        testbed = [e.split(b"=", 1)[1] for e in env if e.startswith(b"UMOCKDEV_DIR=")][0]
        table = run.out.decode()
        first_path = "/dev/" + table.split("\n1:")[1].split()[0]
        gone = "first" if first_path == "/dev/nst0" else "second"
        kept = "second" if gone == "first" else "first"
        os.unlink(os.path.join(testbed.decode(), "dev", first_path[5:]))
        run.send(b"y\n\n0\n")
        run.close()
        rc, out, err = run.finish()
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "Unable to Open device <%s>: error: No such file or directory\n"
                              "Download not performed\n" % first_path)
        self.assertEqual(b.received(gone), None)
        self.assertEqual(b.commands(gone, "3b"), [])
        self.assertEqual(b.received(kept), data)
        self.assertIn("Update failed", out)
        self.assertIn("F/W Upgraded", out)


if __name__ == "__main__":
    BRISK = os.path.abspath(sys.argv[1])
    EMU = os.path.abspath(sys.argv[2])
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
