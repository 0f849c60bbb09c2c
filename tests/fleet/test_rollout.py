#!/usr/bin/env python3
"""ansible/rollout.yml over local hosts, each with its own emulated library,
command log, received images and brisk history. Usage: test_rollout.py BRISK EMU"""
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import bench as b  # noqa: E402

PLAYBOOK = os.path.join(b.HERE, "..", "..", "ansible", "rollout.yml")
UP, FAILED, PLANNED, REFUSED = "upgraded", "failed", "planned", "refused"
AT, LEFT = "skipped: already at revision 0101", "skipped: needs the default download mode (--allow-default-mode)"
# No rollout below may touch these: another vendor, another IBM product, the changer.
OTHERS = [b.tape("hp", "HP", "Ultrium 6-SCSI", "nst30"), b.tape("jag", "IBM", "03592E07", "nst31"),
          b.tape("ch", "ADIC", "FastStor 2", "sch0", **{"class": "changer", "append_always": True})]
DIGEST = {"brisk_sha256": hashlib.sha256(b.image(100000)).hexdigest()}
ACME = {"brisk_vendor": "ACME", "brisk_product": ""}
# The changer's buffer follows the image's file name.
SR = {"image": "S_R_fs2.bin", "bid": 0x81, "brisk_vendor": "ADIC", "brisk_product": "FastStor 2"}
BAD = ("brisk ended with status 1:\n/dev/nst0 IBM ULT3580-TD8 SNd0 revision 0100: failed\nbrisk standard error:\n"
       "\nDownloading /dev/nst0... please wait.\nWrite Buffer Command Failed; Aborting Download\n"
       "Firmware image file appears to be invalid or corrupted\n")
DIGEST_MSG = "brisk: fw.bin has SHA-256 %s, not %s\nDownload not performed" % (DIGEST["brisk_sha256"], "0" * 64)
SERIAL = lambda x: x["serial"]  # noqa: E731 (brisk reports in its listing's order)
KEYS = ("vendor", "product", "serial", "revision_before", "revision_after", "outcome", "reason")


def lib(n, revision="0100", **extra):
    return [b.tape("d%d" % i, node="nst%d" % i, revision=revision, **extra) for i in range(n)]


class Rollout(unittest.TestCase):
    ROWS = [  # title, variables, options, each host's library, playbook status, each host's outcome
        ("every host; 23 drives", DIGEST, [], [lib(2) + OTHERS, lib(1) + OTHERS, lib(20) + OTHERS], 0, [UP] * 3),
        ("a canary, then batches of two: the second host's drive refuses the image", {"brisk_serial": [1, 2]}, [],
         [lib(1), lib(1, faults=[{"op": "write_buffer", "sense": "5/26/00"}]) + OTHERS, lib(1), lib(1)], 2,
         [UP, FAILED, UP, None]),
        ("a re-run at the target revision", {}, [], [lib(1, "0101"), lib(2, "0101") + OTHERS], 0, [AT] * 2),
        ("fall-back drives left alone", ACME, [], [lib(1, vendor="ACME"), lib(2, vendor="ACME") + OTHERS], 0,
         [LEFT] * 2),
        ("fall-back drives allowed", dict(ACME, brisk_allow_default_mode=True), [], [lib(1, vendor="ACME")] * 2, 0,
         [UP] * 2),
        ("check mode plans and writes nothing", {}, ["--check", "--diff"], [lib(2) + OTHERS, lib(1)], 0,
         [PLANNED] * 2),
        ("an S_R_ image into ADIC FastStor 2 changers", SR, [], [OTHERS[:1] + OTHERS[2:]] * 2, 0, [UP] * 2),
        ("a wrong digest stops the first host", {"brisk_sha256": "0" * 64}, [], [lib(1) + OTHERS, lib(1)], 2,
         [REFUSED, None])]

    def play(self, variables, options, libraries):
        d, hosts, variables = tempfile.mkdtemp(dir=b.WORK), {}, dict(variables)
        fw = os.path.join(d, variables.pop("image", "fw.bin"))
        variables.pop("bid", None)
        with open(fw, "wb") as f:
            f.write(b.image(100000))
        for h, devices in enumerate(libraries, 1):
            at = os.path.join(d, "h%d" % h)
            os.mkdir(at)
            with open(os.path.join(at, "scenario.json"), "w") as f:
                json.dump({"devices": devices}, f)
            hosts["h%d" % h] = {"ansible_connection": "local", "ansible_become": False,
                                "brisk_options": ["--history-file", at + "/history.jsonl"],
                                "brisk_command": ["faketime", "-f", "+0 x200", b.EMU, "--scenario", f.name, "--log",
                                                  at + "/log.jsonl", "--images", at + "/img", "--", b.BRISK]}
        with open(os.path.join(d, "hosts.yml"), "w") as f:
            json.dump({"tape_hosts": {"hosts": hosts}}, f)
        env = dict(os.environ, ANSIBLE_HOME=d, ANSIBLE_LOCAL_TEMP=d, ANSIBLE_REMOTE_TEMP=d, ANSIBLE_NOCOLOR="1",
                   ANSIBLE_CALLBACK_FORMAT_PRETTY="0", ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3", **b.SANITIZERS)
        extra = dict({"brisk_image": fw, "brisk_vendor": "IBM", "brisk_product": "ULT", "brisk_revision": "0101"},
                     **variables)
        return d, extra, subprocess.run(["ansible-playbook", "-v", "-i", f.name, PLAYBOOK, "-e", json.dumps(extra)]
                                        + options, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def test_rollouts(self):
        for title, variables, options, libraries, status, outcomes in self.ROWS:
            with self.subTest(title):
                d, extra, p = self.play(variables, options, libraries)
                self.assertEqual(p.returncode, status, p.stdout[-3000:] + p.stderr)
                results = re.findall(r"^(ok|changed|fatal): \[(h\d)\](?:: FAILED!)? => (\{.*\})$", p.stdout, re.M)
                recap = {h: (int(c), int(f)) for h, c, f in re.findall(
                    r"^(h\d) +: ok=\d+ +changed=(\d+) +unreachable=0 +failed=(\d+)", p.stdout, re.M)}
                for h, (devices, state) in enumerate(zip(libraries, outcomes), 1):
                    host, log = "h%d" % h, b.Result(os.path.join(d, "h%d" % h), 0, b"", b"", False)
                    mine = [(word, json.loads(r)) for word, n, r in results if n == host]
                    match = [x for x in devices if x["vendor"] == extra["brisk_vendor"]
                             and x["product"].startswith(extra["brisk_product"])]
                    match.sort(key=SERIAL)
                    outcome, reason = ((state or "") + ": ").split(": ")[:2]
                    want = [dict(vendor=x["vendor"], product=x["product"], serial=x["serial"], outcome=outcome,
                                 reason=reason or None, revision_before=x["revision"],
                                 revision_after="0101" if state == UP else None) for x in match]
                    facts = [sorted(({k: x[k] for k in KEYS} for x in r["ansible_facts"]["brisk_drives"]), key=SERIAL)
                             for _, r in mine if "ansible_facts" in r]
                    self.assertEqual(facts, [want] if state not in (None, REFUSED) else [])
                    sent = {c["device"] for c in log.commands(op=0x3B)}
                    self.assertEqual(sent, {x["name"] for x in match} if state in (UP, FAILED) else set())
                    bids = {i for x in sent for _, i, *_ in log.wb(x)}
                    self.assertEqual(bids, {variables.get("bid", 0)} if sent else set())
                    self.assertEqual(log.images, {x["name"]: b.image(100000) for x in match} if state == UP else {})
                    self.assertEqual(recap.get(host), state and (int(state in (UP, PLANNED)),
                                                                 int(state in (FAILED, REFUSED))))
                    fatal = [re.sub(r"/tmp/ansible\.\w+\.brisk/", "", r["msg"]) for w, r in mine if w == "fatal"]
                    self.assertEqual(fatal, {FAILED: [BAD], REFUSED: [DIGEST_MSG]}.get(state, []))
                    if PLANNED in outcomes:
                        self.assertIn("+IBM ULT3580-TD8 serial SNd0: revision 0101\n", p.stdout)


if __name__ == "__main__":
    b.main()
