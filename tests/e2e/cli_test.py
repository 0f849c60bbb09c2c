#!/usr/bin/env python3
"""Command-line refusals of the real binary: usage texts byte for byte,
exit status 255, under the names brisk, glint and a neutral one."""
import os
import subprocess
import sys
import tempfile
import unittest

BINARY = None

FULL = ("Usage: {0} [ filename ] [ -o | -t ] [ -v ]\n"
        "\tfilename\tfirmware/microcode filename\n"
        "\t'-o'\t\toptical devices\n"
        "\t'-t'\t\ttape devices\n")
SHORT = ("Usage: {0} [ filename ] [ -v ]\n"
         "\tfilename\tfirmware/microcode filename\n")
NOFILE = "firmware file stat failed: No such file or directory\n"

# (invocation name, arguments, expected standard error before the usage
#  text, usage form)
CASES = [
    ("fwtool", [], "", FULL),
    ("fwtool", ["-ot"], "", FULL),
    ("fwtool", ["-o", "-t"], "", FULL),
    ("fwtool", ["-o", "-x"], "", SHORT),
    ("fwtool", ["-v"], "", FULL),
    ("brisk", ["-x"], "", SHORT),
    ("brisk", ["-"], "", SHORT),
    ("brisk", ["-l"], "", SHORT),
    ("brisk", ["-l", "0"], "", SHORT),
    ("brisk", ["-l", "-512"], "", SHORT),
    ("brisk", ["-l", "511"], "", SHORT),
    ("brisk", ["-l", "1000"], "", SHORT),
    ("brisk", ["-l", "abc"], "", SHORT),
    # -v is taken as the value of -l (0), so it is no option here.
    ("brisk", ["-l", "-v"], "", SHORT),
    # An earlier value below 512 keeps the usage error.
    ("brisk", ["-l", "100", "-l", "1024"], "", SHORT),
    ("brisk", ["-vxd"], "", SHORT),
    ("brisk", ["-o"], "", SHORT),
    ("glint", ["-t"], "", SHORT),
    ("brisk", ["/nonexistent/fw.bin"], NOFILE, SHORT),
    ("brisk", [""], NOFILE, SHORT),
    ("brisk-glint", [], "", SHORT),
]


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        os.chmod(cls.dir.name, 0o755)
        for name in ("brisk", "glint", "fwtool", "brisk-glint"):
            os.symlink(BINARY, os.path.join(cls.dir.name, name))

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def run_as(self, name, args, **kw):
        argv0 = os.path.join(self.dir.name, name)
        return subprocess.run([argv0] + args, executable=argv0, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=30, **kw), argv0

    def test_usage_texts(self):
        for name, args, before, form in CASES:
            with self.subTest(name=name, args=args):
                proc, argv0 = self.run_as(name, args)
                self.assertEqual(proc.stderr.decode(), before + form.format(argv0))
                self.assertEqual(proc.stdout, b"")
                self.assertEqual(proc.returncode, 255)

    def test_over_long_file_name(self):
        name = "x" * 1024
        proc, argv0 = self.run_as("brisk", [name])
        self.assertEqual(proc.stderr.decode(),
                         "firmware file name too long (1024 characters, at most 1023)\n"
                         + SHORT.format(argv0))
        self.assertEqual(proc.returncode, 255)

    def test_empty_firmware_file(self):
        with tempfile.NamedTemporaryFile() as f:
            proc, argv0 = self.run_as("brisk", [f.name])
            self.assertEqual(proc.stderr.decode(),
                             "firmware file %s is empty\n" % f.name + SHORT.format(argv0))
            self.assertEqual(proc.returncode, 255)

    def test_verbose_load_reports_before_refusal(self):
        with tempfile.NamedTemporaryFile() as f:
            f.write(b"abc")
            f.flush()
            proc, argv0 = self.run_as("brisk", ["-v", f.name, "-x"])
            self.assertEqual(proc.stdout.decode(),
                             "Opening firmware file: %s\nFile %s found, size 3 bytes\n"
                             % (f.name, f.name))
            self.assertEqual(proc.stderr.decode(), SHORT.format(argv0))
            self.assertEqual(proc.returncode, 255)

    def run_on_empty_dev(self, args):
        # A private /dev without devices, so no real drive is ever touched.
        argv0 = os.path.join(self.dir.name, "brisk")
        script = 'mount -t tmpfs none /dev && : > /dev/null && exec "$0" "$@"'
        return subprocess.run(["unshare", "-m", "sh", "-c", script, argv0] + args,
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=30)

    def test_options_reach_the_listing(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for a private /dev")
        notice = "\nNO SUPPORTED DEVICES FOUND\n\n"
        for args, debug, rows in ((["-l", "1024x", "-v"], False, 18), (["-d"], True, 3)):
            with self.subTest(args=args):
                proc = self.run_on_empty_dev(args)
                out = proc.stdout.decode()
                head = "Executing in debug mode...\n" if debug else ""
                self.assertTrue(out.startswith(head + notice + "\n\nSupplier    \tProduct ID"), out)
                self.assertEqual(out.count("h\n"), rows)
                if not debug:
                    self.assertEqual(out.count("\t     400h\n"), 18)
                self.assertEqual(proc.returncode, 0)

    def test_unprivileged_user_is_refused_first(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to drop privileges")
        argv0 = os.path.join(self.dir.name, "brisk")
        proc = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               argv0, "-x", "/nonexistent"], capture_output=True, timeout=30)
        self.assertEqual(proc.stderr.decode(), "%s can only be executed as root\n" % argv0)
        self.assertEqual(proc.stdout, b"")
        self.assertEqual(proc.returncode, 255)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
