#!/usr/bin/env python3
"""The Debian packages built from a copy of SOURCE_DIR, installed, run and checked by lintian."""
import glob, os, re, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_brisk import NONE_FOUND, param_table  # noqa: E402

SRC, SHARE, MAN8 = sys.argv.pop(1), "/usr/share/brisk-emu/", "/usr/share/man/man8/"
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=900"]
# brisk downloads nothing without its history's directory, /var/lib/brisk.
FILES = {"brisk": {"/usr/sbin/brisk", "/usr/sbin/glint", MAN8 + "brisk.8.gz", MAN8 + "glint.8.gz", "/var/lib/brisk"},
         "brisk-emu": {"/usr/sbin/brisk-emu", MAN8 + "brisk-emu.8.gz", SHARE + "library.json",
                       SHARE + "rehearsal.json", SHARE + "firmware.bin"}}


def run(cmd, check=True, feed=b"", **kw):
    r = subprocess.run(cmd, capture_output=True, input=feed, **kw)
    assert r.returncode == 0 or not check, "%s: %s%s" % (cmd, r.stdout.decode(), r.stderr.decode())
    return r


def emu(name, args=(), feed=b""):
    return run(["faketime", "-f", "+0 x20", "/usr/sbin/brisk-emu", "--scenario", SHARE + "library.json",
                "--", "/usr/sbin/" + name] + list(args), False, feed).stdout.decode()


class Package(unittest.TestCase):
    def test_package(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="deb-"))
        # The tree as it is, uncommitted and new files included, deleted ones left out.
        run(["sh", "-c", 'mkdir "$0" && git ls-files -z -co --exclude-standard | tar -c --null -T - '
             '--ignore-failed-read | tar -x -C "$0"', tmp + "/src"], cwd=SRC)
        # The source package too: lintian checks debian/ itself only through it.
        run(["dpkg-buildpackage", "-us", "-uc"], cwd=tmp + "/src")
        self.addCleanup(run, APT + ["purge", "brisk", "brisk-emu"], False)
        run(APT + ["install", "--reinstall"] + [glob.glob(tmp + "/%s_*.deb" % p)[0] for p in FILES],
            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        for pkg, want in FILES.items():
            got = {p for p in run(["dpkg", "-L", pkg]).stdout.decode().split() if not os.path.isdir(p) or p in want}
            self.assertEqual(got, want | {"/usr/share/doc/%s/%s" % (pkg, f) for f in ("copyright", "changelog.gz")})
        self.assertEqual(os.readlink("/usr/sbin/glint"), "brisk")
        run(["lintian", "--fail-on", "error,warning"] + glob.glob(tmp + "/*.changes"))
        out = emu("brisk", ["-v"])
        self.assertEqual((out.count("Available    \n"), out.endswith(param_table().decode())), (4, True))
        self.assertEqual(emu("glint"), NONE_FOUND.decode())
        pages = [MAN8 + p + ".8.gz" for p in ("brisk", "glint", "brisk-emu")]
        env = dict(os.environ, MANWIDTH="80", MAN_DISABLE_SECCOMP="1", LC_ALL="C.UTF-8")
        self.assertEqual(run(["man", "--warnings", "-l"] + pages, env=env).stderr, b"")
        # The page's parameter table and example session are the program's own output as a
        # terminal shows it: answers echoed, the countdown on one line.
        session = emu("brisk", [SHARE + "firmware.bin"], b"3\ny\n0\n")
        for prompt, answer in (("[1]: ", "3"), ("[N]? ", "y"), ("[4]: ", "0")):
            session = session.replace(prompt, prompt + answer + "\n", 1)
        session = re.sub(r"\t2 minutes, 0 seconds\.\.\. [^\f]*\t0 seconds\.\.\. ", "\t2 minutes, 0 seconds...\n",
                         session)
        page = run(["zcat", MAN8 + "brisk.8.gz"]).stdout.decode().replace("\\-", "-")
        for block, want in (("parameters", out.split("\n\n\n", 1)[1]), ("session", session)):
            text = re.sub(r"\\f[BP]", "", page.split('.\\" brisk output: %s\n.in 0\n.EX\n' % block)[1])
            shown = [line.expandtabs(8).rstrip() for line in want.replace("\f", "").split("\n")]
            self.assertEqual(text.split("\n.EE\n")[0].split("\n"), shown[:-1 - (block == "session")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
