"""Runs the real brisk binary under the emulator bench and collects what it
did: standard output and error as bytes, exit status, the commands each
device received (the bench's JSON log) and the images the devices
assembled."""
import fcntl
import json
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time

BRISK = os.environ.get("BRISK", "")
EMU = os.environ.get("EMU", "")

HEADER = (b"\fATTACHED DEVICES:\n\n"
          b"Device        \tSupplier  Product           Rev   Serial Number  Device State\n"
          b"--------------\t--------  ----------------  ----  -------------  -------------\n")

STATES = {
    "available": b"Available    ", "failed": b"Update failed", "selected": b"Selected     ",
    "downloading": b"Downloading  ", "flash": b"Writing Flash", "upgraded": b"F/W Upgraded ",
    "unknown": b"Unavailable  ",
}

PROMPT = b"Select Device(s) (ex: 1,3-4) or 0 to quit) [%d]: "
CONFIRM = b"\nDo you want to download firmware to this device [N]? "


class Result:
    def __init__(self, status, out, err, log, images, elapsed):
        self.status = status
        self.out = out
        self.err = err
        self.log = log
        self.images = images
        self.elapsed = elapsed

    def commands(self, device=None, op=None):
        """The SCSI commands in order, optionally of one device and opcode."""
        found = []
        for line in self.log:
            if "cdb" not in line:
                continue
            if device is not None and line["device"] != device:
                continue
            if op is not None and int(line["cdb"][:2], 16) != op:
                continue
            found.append(line)
        return found

    def resets(self, device=None):
        return [l for l in self.log if "reset" in l and (device is None or l["device"] == device)]


def text(value, width):
    """An INQUIRY field as the table prints it: cut or padded to width,
    bytes outside 0x20..0x7E shown as blanks."""
    raw = value.encode("latin-1") if isinstance(value, str) else value
    raw = raw[:width].ljust(width, b"\0")
    return bytes(c if 0x20 <= c <= 0x7E else 0x20 for c in raw)


def row(number, path, vendor, product, rev, serial, state="available"):
    """One table row as brisk must print it."""
    name = path.rsplit("/", 1)[-1].encode()
    shown = name[:9].ljust(9)
    if len(name) > 9 and chr(name[9]).isalnum():
        shown += b"..."
    return (b"%d:" % number + shown + b"\t" + text(vendor.ljust(8), 8) + b"  " +
            text(product.ljust(16), 16) + b"  " + text(rev.ljust(4), 4) + b"  " +
            text(serial, 12) + b"   " + STATES[state] + b"\n")


def shown_serial(serial):
    """Bytes 36..47 of the INQUIRY copy: the serial without trailing blanks,
    its last 12 characters when longer."""
    if serial is None:
        return b"\0" * 12
    s = serial.encode("latin-1").rstrip(b" ")
    return s[-12:] if len(s) > 12 else s


def table(rows):
    return HEADER + b"".join(rows)


def _pty_pair(rows, cols):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST           # output bytes exactly as written
    attrs[3] &= ~(termios.ECHO | termios.ECHONL)
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave


class Bench:
    """One temporary directory per test case: scenario, log, images, and a
    PATH entry that gives brisk the name the case runs it under."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="brisk-e2e-")

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def run(self, devices, args=(), stdin=b"", name="brisk", others=(), speed=None,
            pty_rows=None, answers=None, timeout=300, env=None, signals=None):
        """Runs `name ARGS` under the bench.

        stdin: bytes written to a pipe (then closed), a list of (delay seconds,
        bytes) written one after the other, or None for /dev/null.
        pty_rows: run on a terminal of that many rows; `answers` is then a list
        of (prompt bytes, answer bytes): each answer is typed once its prompt
        has appeared, since brisk drops type-ahead on a terminal.
        speed: run the bench and brisk under a clock that is `speed` times
        faster. signals: list of (delay seconds, signal) sent to brisk."""
        scenario = self.write("scenario.json", json.dumps(
            {"devices": devices, "others": list(others)}).encode())
        bindir = self.path("bin")
        os.makedirs(bindir, exist_ok=True)
        link = os.path.join(bindir, name)
        if not os.path.exists(link):
            os.symlink(BRISK, link)
        log = self.path("log.jsonl")
        images = self.path("img")
        shutil.rmtree(images, ignore_errors=True)
        cmd = [EMU, "--scenario", scenario, "--log", log, "--images", images, "--", name]
        cmd += list(args)
        if speed:
            cmd = ["faketime", "-f", "+0 x%g" % speed] + cmd
        full_env = dict(os.environ)
        full_env["PATH"] = bindir + ":" + full_env.get("PATH", "/usr/bin:/bin")
        full_env.setdefault("ASAN_OPTIONS", "")
        if "verify_asan_link_order" not in full_env["ASAN_OPTIONS"]:
            full_env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
        if env:
            full_env.update(env)

        start = time.monotonic()
        if pty_rows is None:
            proc = subprocess.Popen(
                cmd, stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full_env)
            if signals:
                self._signal_later(proc, signals)
            if isinstance(stdin, list):
                out, err = self._typed(proc, stdin, timeout)
            else:
                out, err = proc.communicate(stdin, timeout=timeout)
        else:
            out, err, proc = self._run_pty(cmd, full_env, pty_rows, answers or [], timeout)
        elapsed = time.monotonic() - start
        lines = []
        if os.path.exists(log):
            with open(log) as f:
                lines = [json.loads(l) for l in f if l.strip()]
        imgs = {}
        if os.path.isdir(images):
            for n in os.listdir(images):
                with open(os.path.join(images, n), "rb") as f:
                    imgs[n[:-4]] = f.read()
        return Result(proc.returncode, out, err, lines, imgs, elapsed)

    def _typed(self, proc, chunks, timeout):
        """Writes each chunk after its delay while both streams are read."""
        import threading
        got = {}

        def drain(name, stream):
            got[name] = stream.read()
        readers = [threading.Thread(target=drain, args=(n, st), daemon=True)
                   for n, st in (("out", proc.stdout), ("err", proc.stderr))]
        for t in readers:
            t.start()
        try:
            for delay, data in chunks:
                time.sleep(delay)
                proc.stdin.write(data)
                proc.stdin.flush()
            proc.stdin.close()
        except BrokenPipeError:
            pass
        proc.wait(timeout=timeout)
        for t in readers:
            t.join()
        return got.get("out", b""), got.get("err", b"")

    def _signal_later(self, proc, signals):
        import threading

        def send():
            for delay, sig in signals:
                time.sleep(delay)
                target = _child_of(proc.pid)
                if target:
                    os.kill(target, sig)
        threading.Thread(target=send, daemon=True).start()

    def _run_pty(self, cmd, env, rows, answers, timeout):
        master, slave = _pty_pair(rows, 80)
        errr, errw = os.pipe()
        proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=errw, env=env,
                                start_new_session=True)
        os.close(slave)
        os.close(errw)
        out, err = b"", b""
        pending = list(answers)
        seen = 0
        deadline = time.monotonic() + timeout
        open_fds = {master, errr}
        while open_fds and time.monotonic() < deadline:
            if pending and pending[0][0] in out[seen:]:
                seen = out.index(pending[0][0], seen) + len(pending[0][0])
                os.write(master, pending.pop(0)[1])
                continue
            ready, _, _ = select.select(list(open_fds), [], [], 0.2)
            for fd in ready:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    open_fds.discard(fd)
                elif fd == master:
                    out += chunk
                else:
                    err += chunk
            if proc.poll() is not None and not ready:
                break
        try:
            proc.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        os.close(master)
        os.close(errr)
        return out, err, proc


def _child_of(pid):
    """brisk's pid: the bench's child."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            kids = f.read().split()
        return int(kids[0]) if kids else None
    except OSError:
        return None


def tape(name, vendor, product, rev="0100", serial=None, nodes=(), **extra):
    d = {"name": name, "class": "tape", "vendor": vendor, "product": product,
         "revision": rev, "serial": serial if serial is not None else "SN" + name,
         "nodes": list(nodes), "medium": False}
    d.update(extra)
    return d


WALKER = r"""
import json, os, stat
def walk(d):
    out = []
    for n in os.listdir(d):
        if n.startswith("."):
            continue
        p = d + "/" + n
        st = os.lstat(p)
        out.append([n, stat.S_ISDIR(st.st_mode), walk(p) if stat.S_ISDIR(st.st_mode) else []])
    return out
print(json.dumps(walk("/dev")))
"""


def listing_order(bench, devices, others=()):
    """The /dev tree as the bench's directory listing yields it (names in
    readdir order, with subdirectories), read through the bench itself."""
    scenario = bench.write("walk.json", json.dumps(
        {"devices": devices, "others": list(others)}).encode())
    out = subprocess.run([EMU, "--scenario", scenario, "--", "python3", "-c", WALKER],
                         stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out)


def scan(tree, filt, base="/dev"):
    """Candidate paths of one directory scan, depth first, in listing order."""
    found = []
    for name, is_dir, children in tree:
        if name.startswith("."):
            continue
        path = base + "/" + name
        if filt in name:
            found.append(path)
        elif is_dir and not any(s in base for s in ("/dsk", "/fd", "/rmt", "/scsi")):
            found += scan(children, filt, path)
    return found


def expected_inventory(bench, devices, filters, types, others=()):
    """The devices brisk must list, in order, as (path, device): candidates of
    each filter in turn, one path per device identity (the first met), only
    devices whose INQUIRY byte 0 is one of `types`."""
    tree = listing_order(bench, devices, others)
    by_path = {}
    for d in devices:
        for n in d["nodes"]:
            by_path["/dev/" + n] = d
        for l in d.get("links", []):
            by_path["/dev/" + l] = d
    seen_paths, seen_ids, result = set(), set(), []
    for f in filters:
        for p in scan(tree, f):
            if p in seen_paths or p not in by_path:
                continue
            seen_paths.add(p)
            d = by_path[p]
            if p[len("/dev/"):] in d.get("enxio", []):
                continue  # never opened, so never identified
            ident = (d["vendor"], d["product"], d.get("revision", "0100"),
                     shown_serial(d.get("serial")))
            if ident in seen_ids:
                continue
            seen_ids.add(ident)
            byte0 = d.get("byte0", {"tape": 1, "changer": 8, "optical": 5,
                                    "optical-memory": 7}[d.get("class", "tape")])
            if byte0 in types:
                result.append((p, d))
    return result


def rows_for(inventory, states=None):
    rows = []
    for i, (p, d) in enumerate(inventory, 1):
        state = (states or {}).get(d["name"], "available")
        rows.append(row(i, p, d["vendor"], d["product"], d.get("revision", "0100"),
                        shown_serial(d.get("serial")), state))
    return rows


TAPE_FILTERS = ("nst", "sch", "sg")
OPTICAL_FILTERS = ("sr", "sg")


def unlocked_image(text, raw, first, second):
    """The converted image patched with the two page 0x88 answers, the sum
    and the trailer, cut to the converted length plus 3. The conversion
    overwrites the start of the file's own bytes; the rest keeps them."""
    img = bytearray(raw + text[len(raw):len(raw) + 8])
    img[0xBF80:0xBFB2] = first[6:56]
    img[0xBFBC:0xBFC0] = first[66:70]
    img[0xBFC0:0xC000] = second[6:70]
    s = sum(img[:0xC000]) & 0xFFFF
    img[0xC000:0xC005] = bytes([s >> 8, s & 0xFF, 0x46, 0x6C, 0x00])
    return bytes(img[:len(raw) + 3])
