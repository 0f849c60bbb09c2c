#!/usr/bin/env python3
"""The rehearsal library of the operator's guide (demo/rehearsal.json): one
session through the bad outcomes, with the clocks 40 times faster. The final
table, the messages and what each emulated device received are what the
guide tells the operator to expect."""
import os
import subprocess
import sys
import tempfile
import unittest

BRISK = EMU = SCENARIO = None

FINAL_TABLE = (
    "\fATTACHED DEVICES:\n\n"
    "Device        \tSupplier  Product           Rev   Serial Number  Device State\n"
    "--------------\t--------  ----------------  ----  -------------  -------------\n"
    "1:nst1     \tHP        Ultrium 6-SCSI    ----  HU1234567A     Unavailable  \n"
    "2:nst0     \tIBM       03592E07          2B4C  0000078D1234   Update failed\n"
    "3:sch0     \tADIC      FastStor 2        F.0C  ADIC2000123    F/W Upgraded \n"
    "\n")
ERRORS = ("Write Buffer Command Failed; Aborting Download\n"
          "Firmware image file appears to be invalid or corrupted\n")
WAITING = "Waiting for /dev/nst1 to become ready (15 seconds)...\n"


class Rehearsal(unittest.TestCase):
    def test_session_through_the_bad_outcomes(self):
        with tempfile.TemporaryDirectory() as tmp:
            image = os.path.join(tmp, "firmware.bin")
            with open(image, "wb") as f:
                f.write(bytes(range(256)) * 1536)
            received = os.path.join(tmp, "received")
            # Select all three, confirm, Enter after the refusal, quit.
            proc = subprocess.run(
                ["faketime", "-f", "+0 x40", EMU, "--scenario", SCENARIO,
                 "--images", received, "--", BRISK, image],
                input=b"1-3\ny\n\n0\n", capture_output=True, timeout=300)
            out = proc.stdout.decode()
            self.assertEqual(proc.returncode, 0)
            self.assertEqual(proc.stderr.decode(), ERRORS)
            self.assertTrue(out.endswith(FINAL_TABLE), out[-800:])
            # No reset message without -v or -d; the polling stops after
            # eight waits.
            self.assertEqual(out.count(WAITING), 8)
            self.assertNotIn("Sending scsi-reset", out)
            with open(image, "rb") as f:
                sent = f.read()
            images = sorted(os.listdir(received))
            # The refused drive activated nothing; the two others got the
            # whole image.
            self.assertEqual(images, ["changer.img", "silent.img"])
            for name in images:
                with open(os.path.join(received, name), "rb") as f:
                    self.assertEqual(f.read(), sent, name)


if __name__ == "__main__":
    BRISK, EMU, SCENARIO = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main(verbosity=2)
