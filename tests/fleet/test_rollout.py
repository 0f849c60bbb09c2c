#!/usr/bin/env python3
"""ansible/rollout.yml over local hosts, each with its own emulated library, command log, images and history."""
import hashlib, json, os, pathlib, re, signal, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import bench as b  # noqa: E402

PLAYBOOK = os.path.join(b.HERE, "..", "..", "ansible", "rollout.yml")
UP, FAILED, PLANNED, REFUSED, ORPHAN = "upgraded", "failed", "planned", "refused", "upgraded unseen"
AT, LEFT = "skipped: already at revision 0101", "skipped: needs the default download mode (--allow-default-mode)"
# No rollout below may touch these: another vendor, another IBM product, the changer.
OTHERS = [b.tape("hp", "HP", "Ultrium 6-SCSI", "nst30"), b.tape("jag", "IBM", "03592E07", "nst31"),
          b.tape("ch", "ADIC", "FastStor 2", "sch0", **{"class": "changer", "append_always": True})]
DIGEST, ACME = hashlib.sha256(IMAGE := b.image(100000)).hexdigest(), {"brisk_vendor": "ACME", "brisk_product": ""}
MSG = {FAILED: "brisk ended with status 1:\n/dev/nst0 IBM ULT3580-TD8 SNd0 revision 0100: failed\nbrisk standard "
       "error:\n\nDownloading /dev/nst0... please wait.\nWrite Buffer Command Failed; Aborting Download\n"
       "Firmware image file appears to be invalid or corrupted\n",
       REFUSED: "brisk: fw.bin has SHA-256 %s, not %s\nDownload not performed" % (DIGEST, "0" * 64)}
KEYS = ("vendor", "product", "serial", "revision_before", "revision_after", "outcome", "reason")


def lib(n, revisions=("0100",), **extra):
    return [b.tape("d%d" % i, node="nst%d" % i, revision=revisions[i % len(revisions)], **extra) for i in range(n)]


def wait(path, text):  # for a minute at most
    subprocess.run(["timeout", "60", "sh", "-c", 'until grep -qsF -- "$1" "$0"; do sleep 0.02; done', path, text])


class Rollout(unittest.TestCase):
    ROWS = [  # title, variables, options, each host's library, playbook status, each host's outcome
        ("a canary, then batches of two: 23 drives on three hosts, one refusing the image, and no later batch",
         {"brisk_serial": [1, 2], "brisk_sha256": DIGEST}, [], [lib(2) + OTHERS, lib(1, faults=[{"op": "write_buffer",
          "sense": "5/26/00"}]) + OTHERS, lib(20) + OTHERS, lib(1)], 2, [UP, FAILED, UP, None]),
        ("fall-back drives left alone beside one at the target revision: nothing to do, and no failure", ACME, [],
         [lib(2, ("0100", "0101"), vendor="ACME") + OTHERS, lib(1, vendor="ACME")], 0, [LEFT] * 2),
        ("check mode plans and writes nothing", {}, ["--check", "--diff"], [lib(2) + OTHERS, lib(1)], 0, [PLANNED] * 2),
        ("vendor A: fall-back drives allowed; ADIC FastStor 2 changers, whose buffer follows the image's name",
         dict(ACME, image="S_R_fs2.bin", brisk_vendor="A", brisk_allow_default_mode=True), [],
         [lib(1, vendor="ACME") + OTHERS[:1] + OTHERS[2:]] * 2, 0, [UP] * 2),
        ("wrong digest stops host 1", {"brisk_sha256": "0" * 64}, [], [lib(1) + OTHERS, lib(1)], 2, [REFUSED, None]),
        ("controller killed at the first WRITE BUFFER: brisk ends, records it", {}, ["kill"], [lib(1)], -9, [ORPHAN])]

    def play(self, variables, options, libraries):
        d, hosts, variables = tempfile.mkdtemp(dir=b.WORK), {}, dict(variables)
        pathlib.Path(fw := os.path.join(d, variables.pop("image", "fw.bin"))).write_bytes(IMAGE)
        for h, devices in enumerate(libraries, 1):
            os.mkdir(at := os.path.join(d, "h%d" % h))
            pathlib.Path(at, "s.json").write_text(json.dumps({"devices": devices}))
            hosts["h%d" % h] = {"ansible_connection": "local", "ansible_become": False,
                                "brisk_options": ["--history-file", at + "/history.jsonl"],
                                # ended: brisk and the emulator are done, the images written
                                "brisk_command": ["sh", "-c", '"$@"; s=$?; echo $s >"$0"; exit $s', at + "/ended",
                                                  "faketime", "-f", "+0 x200", b.EMU, "--scenario", at + "/s.json",
                                                  "--log", at + "/log.jsonl", "--images", at + "/img", "--", b.BRISK]}
        pathlib.Path(d, "hosts.yml").write_text(json.dumps({"tape_hosts": {"hosts": hosts}}))
        env = dict(os.environ, ANSIBLE_HOME=d, ANSIBLE_LOCAL_TEMP=d, ANSIBLE_REMOTE_TEMP=d, TMPDIR=d, **b.SANITIZERS,
                   ANSIBLE_NOCOLOR="1", ANSIBLE_CALLBACK_FORMAT_PRETTY="0",
                   ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3")
        extra = dict(brisk_image=fw, brisk_vendor="IBM", brisk_product="ULT", brisk_revision="0101") | variables
        p = subprocess.Popen(["ansible-playbook", "-v", "-i", d + "/hosts.yml", PLAYBOOK, "-e", json.dumps(extra)]
                             + [o for o in options if o != "kill"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
        if "kill" in options:  # the whole controller, as a lost session or a stray kill would end it
            wait(d + "/h1/log.jsonl", '"cdb":"3b')
            os.killpg(p.pid, signal.SIGKILL)
            wait(d + "/h1/ended", "")
        return d, extra, p.communicate() + (p.returncode,)

    def test_rollouts(self):
        for title, variables, options, libraries, status, outcomes in self.ROWS:
            with self.subTest(title):
                d, extra, (out, err, returncode) = self.play(variables, options, libraries)
                self.assertEqual(returncode, status, out[-3000:] + err)
                results = re.findall(r"^(ok|changed|fatal): \[(h\d)\](?:: FAILED!)? => (\{.*\})$", out, re.M)
                recap = {h: (int(c), int(f)) for h, c, f in re.findall(
                    r"^(h\d) +: ok=\d+ +changed=(\d+) +unreachable=0 +failed=(\d+)", out, re.M)}
                left = set()  # the drives the warnings name
                for host, devices, state in zip(("h1", "h2", "h3", "h4"), libraries, outcomes):
                    log = b.Result(os.path.join(d, host), 0, b"", b"")
                    mine = [(word, json.loads(r)) for word, n, r in results if n == host]
                    match = [(x, AT if x["revision"] == "0101" else state or "") for x in sorted(
                        devices, key=lambda x: x["serial"]) if x["vendor"].startswith(extra["brisk_vendor"])
                             and x["product"].startswith(extra["brisk_product"])]
                    want = [dict(zip(KEYS, (x["vendor"], x["product"], x["serial"], x["revision"],
                                            "0101" if s == UP else None, *s.split(": "), None))) for x, s in match]
                    facts = [sorted(({k: x[k] for k in KEYS} for x in r["ansible_facts"]["brisk_drives"]),
                                    key=lambda x: x["serial"]) for _, r in mine if "ansible_facts" in r]
                    self.assertEqual(facts, [want] if state not in (None, REFUSED, ORPHAN) else [])
                    # Each drive written to: its buffer, its image, its history record; what Ansible counted.
                    wrote = [(x, s) for x, s in match if s in (UP, ORPHAN, FAILED)]
                    self.assertEqual({c["device"]: ({i for _, i, *_ in log.wb(c["device"])}, log.images.get(
                        c["device"])) for c in log.commands(op=0x3B)}, {x["name"]: (
                            {0x81 * (x["class"] == "changer")}, None if s == FAILED else IMAGE) for x, s in wrote})
                    history = log.dir + "/history.jsonl"
                    history = [json.loads(x) for x in b.read(history).splitlines()] if os.path.exists(history) else []
                    self.assertEqual(sorted((r["serial"], r["outcome"]) for r in history if r["event"] == "finished"),
                                     [(x["serial"], s.split()[0]) for x, s in wrote])
                    fatal = [re.sub(r"\S*/ansible\.\w+\.brisk/", "", r["msg"]) for w, r in mine if w == "fatal"]
                    self.assertEqual((recap.get(host), fatal), (None if state in (None, ORPHAN) else (int(state in (
                        UP, PLANNED)), int(state in (FAILED, REFUSED))), [MSG[state]] if state in MSG else []))
                    if state == PLANNED:  # the listing's REQUEST SENSE and INQUIRY only, and the diff
                        self.assertEqual({int(c["cdb"][:2], 16) for c in log.commands()}, {0x03, 0x12})
                        self.assertIn("+IBM ULT3580-TD8 serial SNd0: revision 0101\n", out)
                    left |= {(x["serial"], "needs the default download mode") for x, s in match if s == LEFT}
                self.assertEqual(set(re.findall(r"(SN\w+) left alone: (needs the default download mode)?", " ".join(
                    err.split()))), left)  # Ansible shows a warning once


if __name__ == "__main__":
    b.main()
