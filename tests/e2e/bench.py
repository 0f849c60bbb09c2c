"""The real brisk binary under the emulator: each run's exit status, its
streams as bytes, the commands each device received (the emulator's log) and
the images the devices assembled. Cases are rows of tables; this module is
the only place that starts the emulator."""
import atexit, fcntl, json, os, re, pty, random, select, shutil, signal, struct, subprocess, sys, tempfile
import termios, threading, time, unittest

BRISK = EMU = ""
WORK = tempfile.mkdtemp(prefix="brisk-e2e-")
atexit.register(shutil.rmtree, WORK, True)
HERE = os.path.dirname(os.path.abspath(__file__))
# brisk alone on a faked clock, exec'd in place so that the signals the emulator passes on reach brisk itself.
CLOCK = ('LD_PRELOAD="$LD_PRELOAD:/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1" '
         'FAKETIME="+0 x%g" exec "$0" "$@"')
HEADER = (b"\fATTACHED DEVICES:\n\n"
          b"Device        \tSupplier  Product           Rev   Serial Number  Device State\n"
          b"--------------\t--------  ----------------  ----  -------------  -------------\n")
PAUSE = b"\nPress <Enter> to Continue "
# A sanitized brisk behind the emulator's preload and the clock library.
SANITIZERS = {"LSAN_OPTIONS": "suppressions=" + os.path.join(HERE, "lsan.supp"),
              "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
TAPE, OPTICAL = (("nst", "sch", "sg"), (1, 8)), (("sr", "sg"), (5, 7))


def tape(name, vendor="IBM", product="ULT3580-TD8", node="nst0", **extra):
    return dict({"name": name, "class": "tape", "vendor": vendor, "product": product,
                 "revision": "0100", "serial": "SN" + name, "nodes": [node], "medium": False,
                 "flash_seconds": 0}, **extra)


def optical(name, vendor="PLEXTOR", product="DVDR PX-716A", node="sr0", **extra):
    return tape(name, vendor, product, node, **dict({"class": "optical"}, **extra))


def image(size, seed=7):
    """Bytes without a period, so that no misplaced piece goes unseen."""
    return random.Random(seed).randbytes(size)


class Result:
    def __init__(self, d, status, out, err):
        self.dir, self.status, self.out, self.err = d, status, out, err
        log, img = os.path.join(d, "log.jsonl"), os.path.join(d, "img")  # none when the emulator refused to start
        self.log = [json.loads(x) for x in read(log).splitlines() if x.strip()] if os.path.exists(log) else []
        self.images = {n[:-4]: read(os.path.join(img, n)) for n in (os.listdir(img) if os.path.isdir(img) else ())}

    def commands(self, device=None, op=None):
        return [c for c in self.log if "cdb" in c and device in (None, c["device"])
                and op in (None, int(c["cdb"][:2], 16))]

    def ops(self, device):
        return [int(c["cdb"][:2], 16) for c in self.commands(device)]

    def wb(self, device):
        """(mode, buffer id, offset, length, control) of each WRITE BUFFER."""
        return [(c[1] & 0x1F, c[2], int.from_bytes(c[3:6], "big"), int.from_bytes(c[6:9], "big"), c[9])
                for c in (bytes.fromhex(x["cdb"]) for x in self.commands(device, 0x3B))]

    def final(self):
        return self.out.rsplit(HEADER, 1)[-1]


def run(devices, args=(), feed=b"", name="brisk", fast=200, speed=None, rows=None, script=(), others=(), wrap=()):
    """`name ARGS` under the emulator. feed: standard input, then closed (None: /dev/null); script:
    (text, action) steps once the text is out: bytes typed, None closes standard input, "hangup" closes
    the terminal, a callable gets the process; fast, speed: brisk alone, or with the emulator, on a clock
    that many times faster; rows: on a terminal of that many rows; wrap: a command brisk runs under.
    A run in which a device saw an unsafe command or reset fails."""
    d = tempfile.mkdtemp(dir=WORK)
    with open(os.path.join(d, "scenario.json"), "w") as f:
        json.dump({"devices": devices, "others": list(others)}, f)
    os.makedirs(os.path.join(d, "bin"))
    os.symlink(BRISK, os.path.join(d, "bin", name))
    cmd = ((["faketime", "-f", "+0 x%g" % speed] if speed else []) + [EMU, "--scenario", d + "/scenario.json",
           "--log", d + "/log.jsonl", "--images", d + "/img", "--"] + (["/bin/sh", "-c", CLOCK % fast] if fast else [])
           + list(wrap) + [name] + list(args))
    env = dict(os.environ, PATH=os.path.join(d, "bin") + ":" + os.environ["PATH"],
               BRISK_HISTORY=d + "/history.jsonl", **SANITIZERS)
    master = slave = None
    if rows:  # bytes exactly as written, no echo
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, 80, 0, 0))
        attrs = termios.tcgetattr(slave)
        attrs[1], attrs[3] = attrs[1] & ~termios.OPOST, attrs[3] & ~(termios.ECHO | termios.ECHONL)
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
    p = subprocess.Popen(cmd, stdin=slave or (subprocess.DEVNULL if feed is None else subprocess.PIPE),
                         stdout=slave or subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=d,
                         start_new_session=True)
    if rows:
        os.close(slave)
    outfd, infd, errfd = master or p.stdout.fileno(), master or (p.stdin and p.stdin.fileno()), p.stderr.fileno()
    steps = [(b"", feed)] * bool(feed) + list(script)
    if not rows and feed is not None and None not in [a for _, a in script]:
        steps.append((b"", None))
    typing, got, pos, fds = [], {outfd: b"", errfd: b""}, 0, {outfd, errfd}

    def type_all(data):
        try:
            while data:
                data = data[os.write(infd, data):]
        except OSError:  # brisk stopped reading; its output tells why
            pass
    deadline = time.monotonic() + 60
    while fds and time.monotonic() < deadline:
        if steps and steps[0][0] in got[outfd][pos:]:
            text, action = steps.pop(0)
            pos = got[outfd].index(text, pos) + len(text)
            for t in typing:
                t.join()
            if isinstance(action, bytes):
                typing.append(threading.Thread(target=type_all, args=(action,)))
                typing[-1].start()
            elif action is None:
                p.stdin.close()
            elif action == "hangup":  # the terminal goes away, as a dropped session's does
                os.close(master)
                fds.discard(outfd)
                master = None
                p.send_signal(signal.SIGHUP)
            else:
                action(p)
            continue
        for fd in select.select(list(fds), [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # a terminal's end
                chunk = b""
            got[fd] += chunk
            if not chunk:
                fds.discard(fd)
    if fds:
        os.killpg(p.pid, 9)
    p.wait()
    for t in typing:
        t.join()
    for stream in (p.stdin, p.stdout, p.stderr):
        if stream and not stream.closed:
            stream.close()
    if master is not None:
        os.close(master)
    r = Result(d, p.returncode, got[outfd], got[errfd])
    bad = [json.dumps(x) for x in r.log if "violation" in x]
    assert not bad, "unsafe for the devices:\n" + "\n".join(bad)
    return r


def read(path):
    with open(path, "rb") as f:
        return f.read()


def text(value, width):
    raw = (value.encode("latin-1") if isinstance(value, str) else value)[:width]
    return bytes(c if 0x20 <= c <= 0x7E else 0x20 for c in raw.ljust(width, b"\0"))


def row(n, path, d):
    """An Available device's row: a node name cut at nine characters, the serial number without trailing
    blanks, only its last 12 characters."""
    name = path.rsplit("/", 1)[-1].encode()
    shown = name[:9].ljust(9) + (b"..." if len(name) > 9 and chr(name[9]).isalnum() else b"")
    serial = (d.get("serial") or "").encode("latin-1").rstrip(b" ")[-12:]
    return b"%d:%s\t%s  %s  %s  %s   Available    \n" % (n, shown, text(d["vendor"].ljust(8), 8), text(
        d["product"].ljust(16), 16), text(d.get("revision", "0100").ljust(4), 4), text(serial, 12))


def listed(devices, kind=TAPE, others=()):
    """(path, device) as listed: per name filter, device nodes (no links, of st's only nstN) in
    the emulated /dev's own order; one per device; only the kind's device types."""
    d = tempfile.mkdtemp(dir=WORK)
    with open(os.path.join(d, "s.json"), "w") as f:
        json.dump({"devices": devices, "others": list(others)}, f)
    paths = subprocess.run([EMU, "--scenario", os.path.join(d, "s.json"), "--", "ls", "-f", "/dev"],
                           stdout=subprocess.PIPE, check=True).stdout.decode().split()
    nodes = {n: dev for dev in devices for n in dev["nodes"] if not re.fullmatch(r"n?st\d+[lma]", n)}
    found, ids = [], set()
    for filt in kind[0]:
        for n in paths:
            dev = nodes.get(n)
            if not dev or filt not in n or n in dev.get("enxio", []):
                continue
            byte0 = dev.get("byte0", {"tape": 1, "changer": 8, "optical": 5,
                                      "optical-memory": 7}[dev.get("class", "tape")])
            if dev["name"] not in ids and byte0 in kind[1]:
                found.append(("/dev/" + n, dev))
            ids.add(dev["name"])
    return found


def table(inventory):
    return HEADER + b"".join(row(i, p, d) for i, (p, d) in enumerate(inventory, 1))


def main():
    """python3 FILE BRISK EMU [unittest arguments]"""
    global BRISK, EMU
    BRISK, EMU = (os.path.abspath(a) for a in sys.argv[1:3])
    unittest.main(module="__main__", argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
