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
import threading
import time

BRISK = os.environ.get("BRISK", "")
EMU = os.environ.get("EMU", "")
TIMEOUT = 300
# brisk alone on a faked clock: a shell that execs it in place, so that the
# signals the bench passes on reach brisk itself. The bench keeps the real
# clock, since a faked clock in a sanitized bench breaks its worker
# thread's waits.
BRISK_CLOCK = ('LD_PRELOAD="$LD_PRELOAD:/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1" '
               'FAKETIME="+0 x%g" exec "$0" "$@"')

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
    """What one run left: status, streams, the bench's log and the images
    the devices assembled, as the bench's directory holds them now."""

    def __init__(self, bench, status, out, err):
        self.status = status
        self.out = out
        self.err = err
        self.log = []
        if os.path.exists(bench.path("log.jsonl")):
            with open(bench.path("log.jsonl")) as f:
                self.log = [json.loads(l) for l in f if l.strip()]
        self.images = {}
        if os.path.isdir(bench.path("img")):
            for n in os.listdir(bench.path("img")):
                with open(os.path.join(bench.path("img"), n), "rb") as f:
                    self.images[n[:-4]] = f.read()

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
    PATH entry that gives brisk the name the case runs it under. Runs start
    in that directory."""

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

    def command(self, devices, args=(), name="brisk", others=(), speed=None, brisk_speed=None):
        """The command line and environment of `name ARGS` under the bench.
        speed: the bench and brisk on a clock `speed` times faster;
        brisk_speed: brisk alone on such a clock."""
        scenario = self.write("scenario.json", json.dumps(
            {"devices": devices, "others": list(others)}).encode())
        bindir = self.path("bin")
        os.makedirs(bindir, exist_ok=True)
        link = os.path.join(bindir, name)
        if not os.path.exists(link):
            os.symlink(BRISK, link)
        shutil.rmtree(self.path("img"), ignore_errors=True)
        program = ["/bin/sh", "-c", BRISK_CLOCK % brisk_speed] if brisk_speed else []
        cmd = [EMU, "--scenario", scenario, "--log", self.path("log.jsonl"),
               "--images", self.path("img"), "--"] + program + [name] + list(args)
        if speed:
            cmd = ["faketime", "-f", "+0 x%g" % speed] + cmd
        env = dict(os.environ)
        env["PATH"] = bindir + ":" + env.get("PATH", "/usr/bin:/bin")
        env.setdefault("ASAN_OPTIONS", "")
        if "verify_asan_link_order" not in env["ASAN_OPTIONS"]:
            env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
        return cmd, env

    def run(self, devices, args=(), stdin=b"", pty_rows=None, answers=None, signals=None,
            **how):
        """Runs `name ARGS` under the bench (see command() for the rest).

        stdin: bytes written to a pipe (then closed), a list of (delay seconds,
        bytes) written one after the other, or None for /dev/null.
        pty_rows: run on a terminal of that many rows; `answers` is then a list
        of (prompt bytes, answer bytes): each answer is typed once its prompt
        has appeared, since brisk drops type-ahead on a terminal.
        signals: list of (delay seconds, signal) sent to brisk."""
        start = time.monotonic()
        if isinstance(stdin, list):
            run = Interactive(self, devices, args, **how)
            if signals:
                self._signal_later(run.proc, signals)
            for delay, data in stdin:
                time.sleep(delay)
                run.send(data)
            run.close()
            r = run.finish()
        else:
            cmd, env = self.command(devices, args, **how)
            if pty_rows is None:
                proc = subprocess.Popen(
                    cmd, stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=self.dir)
                if signals:
                    self._signal_later(proc, signals)
                out, err = proc.communicate(stdin, timeout=TIMEOUT)
            else:
                out, err, proc = self._run_pty(cmd, env, pty_rows, answers or [])
            r = Result(self, proc.returncode, out, err)
        r.elapsed = time.monotonic() - start
        return r

    def _signal_later(self, proc, signals):
        def send():
            for delay, sig in signals:
                time.sleep(delay)
                target = child_of(proc.pid)
                if target:
                    os.kill(target, sig)
        threading.Thread(target=send, daemon=True).start()

    def _run_pty(self, cmd, env, rows, answers):
        master, slave = _pty_pair(rows, 80)
        errr, errw = os.pipe()
        proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=errw, env=env,
                                cwd=self.dir, start_new_session=True)
        os.close(slave)
        os.close(errw)
        out, err = b"", b""
        pending = list(answers)
        seen = 0
        deadline = time.monotonic() + TIMEOUT
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


class Interactive:
    """brisk under the bench with its streams on pipes, in a session of its
    own so that the whole run can be ended at once: wait for a text on
    standard output, then answer, or close standard input."""

    def __init__(self, bench, devices, args=(), **how):
        self.bench = bench
        cmd, env = bench.command(devices, args, **how)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd=bench.dir,
                                     start_new_session=True)
        self.out = self.err = b""
        self.out_ended = False
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
                elif which == "out":
                    self.out_ended = True
                self.cond.notify_all()
            if not chunk:
                return

    def wait_for(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        with self.cond:
            while text not in self.out:
                left = deadline - time.monotonic()
                # The end of standard output, not the end of the process: a
                # process that has exited may still have output in the pipe.
                if left <= 0 or self.out_ended:
                    raise AssertionError("never saw %r; output so far:\n%s" %
                                         (text, self.out.decode(errors="replace")))
                self.cond.wait(min(left, 0.2))

    def send(self, data):
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except BrokenPipeError:  # brisk stopped reading; its output tells why
            pass

    def close(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def kill(self):
        os.killpg(self.proc.pid, signal.SIGKILL)

    def result(self):
        return Result(self.bench, self.proc.returncode, self.out, self.err)

    def finish(self):
        try:
            self.proc.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        finally:
            for t in self.readers:
                t.join(timeout=10)
            for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                if not stream.closed:
                    stream.close()
        return self.result()


def child_of(pid):
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
