#!/usr/bin/env python3
"""The Debian package as an operator gets it: unpacked into a temporary root,
its files where its own list says, its brisk and glint run on the emulated
demo library, its manual page clean and in step with the program."""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None

# What brisk prints for the demo library: the order is the order in which
# the bench's /dev lists the nodes.
TABLE_HEAD = ("\fATTACHED DEVICES:\n\n"
              "Device        \tSupplier  Product           Rev   Serial Number  Device State\n"
              "--------------\t--------  ----------------  ----  -------------  -------------\n")
LISTING = (TABLE_HEAD
           + "1:nst2     \tQUANTUM   DLT-S4            2525  QP0123456789   Available    \n"
           "2:nst1     \tIBM       03592E07          2B4C  0000078D1234   Available    \n"
           "3:nst0     \tHP        Ultrium 6-SCSI    J5SW  HU1234567A     Available    \n"
           "4:sch0     \tADIC      FastStor 2        F.0B  ADIC2000123    Available    \n")
PARAMETERS = (
    "\n\nSupplier    \tProduct ID\tMode\tControl\tCommands\tXfer Size\n"
    "------------\t----------\t----\t-------\t--------\t---------\n"
    "ADIC      \tFastStor 2   \t  5\t   0\tSingle  \n"
    "ADIC      \tFastStor 2   \t  5\t   0\tSingle  \n"
    "ADIC      \tFastStor   \t  5\t   0\tMultiple\n"
    "ARCHIVE      \t           \t  5\t   0\tSingle  \n"
    "EXABYTE      \t           \t  5\t   1\tMultiple\n"
    "HP      \tThinStor   \t  5\t   0\tSingle  \n"
    "HP      \tThinStor   \t  5\t   0\tSingle  \n"
    "HP      \tUltrium   \t  4\t   0\tMultiple\t   10000h\n"
    "HP      \t           \t  4\t   0\tMultiple\t    8000h\n"
    "IBM      \t           \t  4\t   0\tMultiple\n"
    "QUANTUM      \tDLT   \t  5\t   0\tMultiple\n"
    "QUANTUM      \t           \t  4\t   0\tMultiple\n"
    "SEAGATE      \tULTRIUM   \t  6\t   0\tMultiple\n"
    "SEAGATE      \t           \t  5\t   0\tMultiple\t    2000h\n"
    "STK      \t           \t  6\t   0\tMultiple\n"
    "TANDBERG      \t           \t  7\t   0\tMultiple\n"
    "TOSHIBA      \t           \t  5\t   0\tMultiple\n"
    "default      \t           \t  5\t   0\tMultiple\n")
NO_DEVICES = "\nNO SUPPORTED DEVICES FOUND\n\n"

# The package's whole file list: type and mode, owner, path, link target.
CONTENTS = [
    ("drwxr-xr-x", "root/root", "./usr/", None),
    ("drwxr-xr-x", "root/root", "./usr/sbin/", None),
    ("-rwxr-xr-x", "root/root", "./usr/sbin/brisk", None),
    ("lrwxrwxrwx", "root/root", "./usr/sbin/glint", "brisk"),
    ("drwxr-xr-x", "root/root", "./usr/share/", None),
    ("drwxr-xr-x", "root/root", "./usr/share/doc/", None),
    ("drwxr-xr-x", "root/root", "./usr/share/doc/brisk/", None),
    ("-rw-r--r--", "root/root", "./usr/share/doc/brisk/changelog.Debian.gz", None),
    ("-rw-r--r--", "root/root", "./usr/share/doc/brisk/copyright", None),
    ("drwxr-xr-x", "root/root", "./usr/share/man/", None),
    ("drwxr-xr-x", "root/root", "./usr/share/man/man8/", None),
    ("-rw-r--r--", "root/root", "./usr/share/man/man8/brisk.8.gz", None),
    ("lrwxrwxrwx", "root/root", "./usr/share/man/man8/glint.8.gz", "brisk.8.gz"),
]


def run(cmd, **kw):
    if "input" not in kw:
        kw.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(cmd, capture_output=True, timeout=120, **kw)


def unescape(line):
    """A line of a no-fill block of the manual page as the reader sees it."""
    for esc, text in (("\\-", "-"), ("\\(aq", "'"), ("\\fB", ""), ("\\fP", ""),
                      ("\\fR", ""), ("\\&", ""), ("\\e", "\\")):
        line = line.replace(esc, text)
    return line


def as_shown(text):
    """brisk's output as a terminal shows it: no form feeds, tabs at every
    eighth column, no blanks at the ends of the lines."""
    lines = text.replace("\f", "").split("\n")
    return [line.expandtabs(8).rstrip() for line in lines]


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The program finds its name anywhere in the path it was started
        # under, so the root must not hold "brisk" or "glint".
        cls.tmp = tempfile.mkdtemp(prefix="deb-root-")
        os.chmod(cls.tmp, 0o755)
        cls.root = os.path.join(cls.tmp, "root")
        proc = run(["dpkg-deb", "-x", ARGS.deb, cls.root])
        if proc.returncode != 0:
            raise RuntimeError("dpkg-deb -x failed: " + proc.stderr.decode())
        cls.sbin = os.path.join(cls.root, "usr/sbin")
        cls.man8 = os.path.join(cls.root, "usr/share/man/man8")
        cls.version = "%s-%s" % (ARGS.version, ARGS.release)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def field(self, name):
        proc = run(["dpkg-deb", "-f", ARGS.deb, name])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.decode().strip()

    def emu(self, argv, stdin=None, faster=None):
        cmd = [ARGS.emu, "--scenario", ARGS.scenario, "--"] + argv
        if faster:
            cmd = ["faketime", "-f", "+0 x%d" % faster] + cmd
        kw = {"input": stdin.encode()} if stdin is not None else {}
        return run(cmd, **kw)

    # --- what the package holds and where

    def test_file_name_and_control_fields(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        self.assertEqual(os.path.basename(ARGS.deb), "brisk_%s_%s.deb" % (self.version, arch))
        self.assertEqual(self.field("Package"), "brisk")
        self.assertEqual(self.field("Version"), self.version)
        self.assertEqual(self.field("Architecture"), arch)
        self.assertEqual(self.field("Section"), "admin")
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^@<>]+@[^@<>]+>$")

    def test_depends_names_the_owners_of_the_needed_libraries(self):
        proc = run(["objdump", "-p", os.path.join(self.sbin, "brisk")])
        needed = re.findall(r"^\s*NEEDED\s+(\S+)$", proc.stdout.decode(), re.M)
        self.assertTrue(needed)
        triplet = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).stdout.decode().strip()
        owners = set()
        for lib in needed:
            search = run(["dpkg", "-S", "*/%s/%s" % (triplet, lib)])
            self.assertEqual(search.returncode, 0, lib)
            for line in search.stdout.decode().splitlines():
                owners.add(line.split(":")[0])
        depends = self.field("Depends")
        names = {re.sub(r"\s*\(.*\)$", "", d.strip()) for d in depends.split(",")}
        self.assertEqual(names, owners, depends)
        # Every dependency carries the version the binary's symbols need.
        for dep in depends.split(","):
            self.assertRegex(dep.strip(), r"^\S+ \(>= [^)]+\)$")

    def test_contents_list_and_unpacked_tree(self):
        proc = run(["dpkg-deb", "-c", ARGS.deb])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        listed = []
        for line in proc.stdout.decode().splitlines():
            parts = line.split(None, 5)
            path, _, link = parts[5].partition(" -> ")
            listed.append((parts[0], parts[1], path, link or None))
        self.assertEqual(listed, CONTENTS)
        for mode, _, path, link in CONTENTS:
            with self.subTest(path=path):
                full = os.path.join(self.root, path)
                st = os.lstat(full)
                self.assertEqual(stat_mode(st.st_mode), mode)
                if link:
                    self.assertEqual(os.readlink(full), link)
                    self.assertTrue(os.path.isfile(full), "dangling link")

    def test_copyright_and_changelog(self):
        doc = os.path.join(self.root, "usr/share/doc/brisk")
        with open(os.path.join(doc, "copyright")) as f:
            text = f.read()
        self.assertTrue(text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        self.assertIn("\nFiles: *\n", text)
        self.assertIn("\nLicense: Expat\n Permission is hereby granted", text)
        with gzip.open(os.path.join(doc, "changelog.Debian.gz"), "rt") as f:
            first = f.readline()
        # The newest entry must be the version being packaged.
        self.assertEqual(first.split(";")[0], "brisk (%s) unstable" % self.version)

    def test_compressed_files_are_reproducible_and_maximal(self):
        for path in ("usr/share/doc/brisk/changelog.Debian.gz", "usr/share/man/man8/brisk.8.gz"):
            with self.subTest(path=path), open(os.path.join(self.root, path), "rb") as f:
                head = f.read(10)
            self.assertEqual(head[:3], b"\x1f\x8b\x08")
            self.assertEqual(head[3], 0, "no file name in the header")
            self.assertEqual(head[4:8], b"\0\0\0\0", "no time stamp in the header")
            self.assertEqual(head[8], 2, "compressed with -9")

    # --- the unpacked programs on the demo library

    def test_unpacked_programs_list_the_demo_library(self):
        cases = [("brisk", [], LISTING, True),
                 ("brisk", ["-v"], LISTING + PARAMETERS, False),
                 ("glint", [], NO_DEVICES, True)]
        for name, args, want, quiet in cases:
            with self.subTest(name=name, args=args):
                proc = self.emu([os.path.join(self.sbin, name)] + args)
                self.assertEqual(proc.stdout.decode(), want, proc.stderr.decode())
                if quiet:
                    self.assertEqual(proc.stderr.decode(), "")
                else:
                    self.assertIn("Issuing the following SCSI command: Inquiry",
                                  proc.stderr.decode())
                self.assertEqual(proc.returncode, 0)

    # --- the manual pages

    def test_manual_pages_render_clean_by_name_and_by_file(self):
        env = dict(os.environ, MANWIDTH="80", MAN_DISABLE_SECCOMP="1", LC_ALL="C.UTF-8")
        pages = {}
        for name in ("brisk", "glint"):
            with self.subTest(name=name):
                by_file = run(["man", "--warnings", "-l",
                               os.path.join(self.man8, name + ".8.gz")], env=env)
                self.assertEqual(by_file.stderr.decode(), "")
                self.assertEqual(by_file.returncode, 0)
                by_name = run(["man", "--warnings", "-M", os.path.join(self.root, "usr/share/man"),
                               "8", name], env=env)
                self.assertEqual(by_name.stderr.decode(), "")
                self.assertEqual(by_name.stdout, by_file.stdout)
                pages[name] = by_file.stdout.decode()
        self.assertEqual(pages["glint"], pages["brisk"])
        self.assertRegex(pages["brisk"], r"\bbrisk,\s+glint\s+-\s+download firmware")
        with gzip.open(os.path.join(self.man8, "brisk.8.gz"), "rb") as f:
            source = f.read()
        groff = run(["groff", "-ww", "-z", "-man"], input=source)
        self.assertEqual(groff.stderr.decode(), "")
        self.assertEqual(groff.returncode, 0)
        th = re.search(rb'^\.TH BRISK 8 \S+ "brisk ([^"]+)"', source, re.M)
        self.assertEqual(th.group(1).decode(), ARGS.version)

    def manual_block(self, name):
        with gzip.open(os.path.join(self.man8, "brisk.8.gz"), "rt") as f:
            source = f.read()
        marker = '.\\" brisk output: %s\n' % name
        self.assertIn(marker, source)
        block = source.split(marker, 1)[1]
        block = block.split(".EX\n", 1)[1].split("\n.EE\n", 1)[0]
        return [unescape(line) for line in block.split("\n")]

    def test_manual_parameter_table_is_the_programs(self):
        proc = self.emu([os.path.join(self.sbin, "brisk"), "-v"])
        table = proc.stdout.decode().split("\n\n\n", 1)[1]
        self.assertEqual(self.manual_block("parameters"), as_shown(table)[:-1])

    def test_manual_example_session_is_the_programs(self):
        # The session of the page, answers from a pipe, the clocks 20 times
        # faster so that the 120 seconds of recovery pass in 6.
        image = os.path.join(self.tmp, "firmware.bin")
        with open(image, "wb") as f:
            f.write(bytes(range(256)) * 1536)
        proc = self.emu([os.path.join(self.sbin, "brisk"), image], stdin="3\ny\n0\n", faster=20)
        self.assertEqual(proc.returncode, 0)
        out = proc.stdout.decode()
        # The terminal echoes each answer; the countdown rewrites one line.
        for prompt, answer in (("[1]: ", "3"), ("[N]? ", "y"), ("[4]: ", "0")):
            self.assertIn(prompt, out)
            out = out.replace(prompt, prompt + answer + "\n", 1)
        start = out.index("\t2 minutes, 0 seconds... ")
        end = out.index("\f", start)
        self.assertTrue(out[start:end].endswith("\t0 seconds... "))
        out = out[:start] + "\t2 minutes, 0 seconds...\n" + out[end:]
        self.assertEqual(self.manual_block("session"), as_shown(out)[:-2])


def stat_mode(mode):
    import stat
    return stat.filemode(mode)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for opt in ("deb", "emu", "scenario", "version", "release"):
        parser.add_argument("--" + opt, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
