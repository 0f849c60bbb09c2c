#!/usr/bin/env python3
"""The Debian package as an operator gets it: unpacked into a temporary root,
its files and fields, its brisk and glint run on the emulated demo library,
its manual page clean and in step with the program."""
import argparse
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_brisk import NONE_FOUND, param_table  # noqa: E402

ARGS = None
CONTENTS = [  # mode, path, link target
    ("drwxr-xr-x", "./usr/", ""), ("drwxr-xr-x", "./usr/sbin/", ""),
    ("-rwxr-xr-x", "./usr/sbin/brisk", ""), ("lrwxrwxrwx", "./usr/sbin/glint", "brisk"),
    ("drwxr-xr-x", "./usr/share/", ""), ("drwxr-xr-x", "./usr/share/doc/", ""),
    ("drwxr-xr-x", "./usr/share/doc/brisk/", ""),
    ("-rw-r--r--", "./usr/share/doc/brisk/changelog.Debian.gz", ""),
    ("-rw-r--r--", "./usr/share/doc/brisk/copyright", ""), ("drwxr-xr-x", "./usr/share/man/", ""),
    ("drwxr-xr-x", "./usr/share/man/man8/", ""), ("-rw-r--r--", "./usr/share/man/man8/brisk.8.gz", ""),
    ("lrwxrwxrwx", "./usr/share/man/man8/glint.8.gz", "brisk.8.gz")]


def run(cmd, **kw):
    kw.setdefault("stdin", subprocess.DEVNULL) if "input" not in kw else None
    return subprocess.run(cmd, capture_output=True, timeout=120, **kw)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # brisk finds its name anywhere in its path: the root holds neither name.
        cls.tmp = tempfile.mkdtemp(prefix="deb-root-")
        cls.root = os.path.join(cls.tmp, "root")
        run(["dpkg-deb", "-x", ARGS.deb, cls.root]).check_returncode()
        cls.sbin, cls.man8 = cls.root + "/usr/sbin", cls.root + "/usr/share/man/man8"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def emu(self, name, args=(), feed=None, speed=1):
        return run(["faketime", "-f", "+0 x%d" % speed, ARGS.emu, "--scenario", ARGS.scenario, "--",
                    os.path.join(self.sbin, name)] + list(args), input=feed)

    def test_fields_files_and_documents(self):
        version = "%s-%s" % (ARGS.version, ARGS.release)
        arch = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        self.assertEqual(os.path.basename(ARGS.deb), "brisk_%s_%s.deb" % (version, arch))
        fields = dict(l.split(": ", 1) for l in run(["dpkg-deb", "-f", ARGS.deb]).stdout.decode()
                      .splitlines() if ": " in l)
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"],
                          fields["Section"]), ("brisk", version, arch, "admin"))
        self.assertRegex(fields["Maintainer"], r"^[^<>]+ <[^@<>]+@[^@<>]+>$")
        # Depends names, with versions, the owners of the libraries the binary needs.
        needed = re.findall(r"NEEDED\s+(\S+)", run(["objdump", "-p", self.sbin + "/brisk"]).stdout.decode())
        owners = {l.split(":")[0] for lib in needed for l in run(
            ["dpkg", "-S", "*/x86_64-linux-gnu/" + lib]).stdout.decode().splitlines()}
        self.assertEqual({d.split()[0] for d in fields["Depends"].split(", ")}, owners)
        self.assertTrue(all(re.fullmatch(r"\S+ \(>= [^)]+\)", d) for d in fields["Depends"].split(", ")))
        listed = [(p[0], p[5].partition(" -> ")[0], p[5].partition(" -> ")[2]) for p in
                  (l.split(None, 5) for l in run(["dpkg-deb", "-c", ARGS.deb]).stdout.decode().splitlines())]
        self.assertEqual(listed, CONTENTS)
        for mode, path, link in CONTENTS:
            full = os.path.join(self.root, path)
            self.assertEqual(stat.filemode(os.lstat(full).st_mode), mode)
            self.assertTrue(os.path.exists(full))
        doc = self.root + "/usr/share/doc/brisk/"
        with open(doc + "copyright") as f:
            text = f.read()
        self.assertTrue(text.startswith("Format: https://www.debian.org/doc/packaging-manuals/"
                                        "copyright-format/1.0/\n") and "\nLicense: Expat\n" in text)
        with gzip.open(doc + "changelog.Debian.gz", "rt") as f:
            self.assertEqual(f.readline().split(";")[0], "brisk (%s) unstable" % version)

    def test_programs_and_manual_pages(self):
        out = self.emu("brisk", ["-v"]).stdout.decode()
        self.assertEqual(out.count("Available    \n"), 4)
        self.assertTrue(out.endswith(param_table().decode()))
        self.assertEqual(self.emu("glint").stdout, NONE_FOUND)
        env = dict(os.environ, MANWIDTH="80", MAN_DISABLE_SECCOMP="1", LC_ALL="C.UTF-8")
        pages = [run(["man", "--warnings", "-l", "%s/%s.8.gz" % (self.man8, n)], env=env) for n in
                 ("brisk", "glint")] + [run(["man", "--warnings", "-M", self.root + "/usr/share/man",
                                             "8", "glint"], env=env)]
        self.assertEqual({(p.returncode, p.stderr, p.stdout) for p in pages},
                         {(0, b"", pages[0].stdout)})
        self.assertRegex(pages[0].stdout.decode(), r"\bbrisk,\s+glint\s+-\s+download firmware")
        with gzip.open(self.man8 + "/brisk.8.gz", "rt") as f:
            source = f.read()
        groff = run(["groff", "-ww", "-z", "-man"], input=source.encode())
        self.assertEqual((groff.returncode, groff.stderr), (0, b""))
        self.assertRegex(source, r'\.TH BRISK 8 \S+ "brisk %s"' % re.escape(ARGS.version))
        # The page's parameter table and example session are the program's
        # own output as a terminal shows it (answers echoed, the countdown
        # on one line).
        image = os.path.join(self.tmp, "firmware.bin")
        with open(image, "wb") as f:
            f.write(bytes(range(256)) * 1536)
        session = self.emu("brisk", [image], b"3\ny\n0\n", 20).stdout.decode()
        for prompt, answer in (("[1]: ", "3"), ("[N]? ", "y"), ("[4]: ", "0")):
            session = session.replace(prompt, prompt + answer + "\n", 1)
        session = re.sub(r"\t2 minutes, 0 seconds\.\.\. [^\f]*\t0 seconds\.\.\. ",
                         "\t2 minutes, 0 seconds...\n", session)
        for block, want in (("parameters", out.split("\n\n\n", 1)[1]), ("session", session)):
            text = source.split('.\\" brisk output: %s\n' % block, 1)[1].split(".EX\n", 1)[1]
            for esc, plain in (("\\-", "-"), ("\\(aq", "'"), ("\\fB", ""), ("\\fP", ""),
                               ("\\fR", ""), ("\\&", ""), ("\\e", "\\")):
                text = text.replace(esc, plain)
            shown = [l.expandtabs(8).rstrip() for l in want.replace("\f", "").split("\n")]
            self.assertEqual(text.split("\n.EE\n", 1)[0].split("\n"), shown[:len(shown) - 1 -
                                                                              (block == "session")])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for opt in ("deb", "emu", "scenario", "version", "release"):
        parser.add_argument("--" + opt, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
