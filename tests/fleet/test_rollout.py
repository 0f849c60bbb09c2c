#!/usr/bin/env python3
"""ansible/rollout.yml over three local hosts, each with its own emulated
library, command log and received images. Usage: test_rollout.py BRISK EMU"""
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
UP, FAILED, AVAILABLE = "F/W Upgraded", "Update failed", "Available"
LEFT = "left alone: needs the default download mode"
REFUSED = (b"Write Buffer Command Failed; Aborting Download\n"
           b"Firmware image file appears to be invalid or corrupted\n")
# No rollout below may touch these: another vendor, another IBM product, the changer.
OTHERS = [b.tape("hp", "HP", "Ultrium 6-SCSI", "nst30"), b.tape("jag", "IBM", "03592E07", "nst31"),
          b.tape("ch", "ADIC", "FastStor 2", "sch0", **{"class": "changer", "append_always": True})]
ACME = {"brisk_vendor": "ACME", "brisk_product": ""}
NODE = re.compile(rb"(?m)^(\d+):[^\t]*\t")


def drives(facts):  # without the node names, which the listing chooses
    return sorted(sorted((k, v) for k, v in x.items() if k != "node") for x in facts)


def lib(n, revision="0100", **extra):
    return [b.tape("d%d" % i, node="nst%d" % i, revision=revision, **extra) for i in range(n)]


class Rollout(unittest.TestCase):
    ROWS = [  # title, variables, each host's library, playbook status, each host's drives' state
        ("every host; 23 drives, two pages", {}, [lib(2) + OTHERS, lib(1) + OTHERS, lib(20) + OTHERS], 0, [UP] * 3),
        ("the second host's drive refuses the image", {},
         [lib(1), lib(1, faults=[{"op": "write_buffer", "sense": "5/26/00"}]) + OTHERS, lib(1)], 2,
         [UP, FAILED, None]),
        ("a re-run at the target revision", {}, [lib(1, "0101"), lib(2, "0101") + OTHERS, lib(20, "0101")], 0,
         [AVAILABLE] * 3),
        ("fall-back drives left alone", ACME, [lib(1, vendor="ACME")] * 2 + [lib(2, vendor="ACME") + OTHERS], 0,
         [LEFT] * 3),
        ("fall-back drives allowed", dict(ACME, brisk_allow_default_mode=True), [lib(1, vendor="ACME")] * 3, 0,
         [UP] * 3)]

    def play(self, variables, libraries):
        d = tempfile.mkdtemp(dir=b.WORK)
        fw, hosts = os.path.join(d, "fw.bin"), {}
        with open(fw, "wb") as f:
            f.write(b.image(100000))
        for h, devices in enumerate(libraries, 1):
            at = os.path.join(d, "h%d" % h)
            os.mkdir(at)
            with open(os.path.join(at, "scenario.json"), "w") as f:
                json.dump({"devices": devices}, f)
            hosts["h%d" % h] = {"ansible_connection": "local", "ansible_become": False, "brisk_timeout": 60,
                                "brisk_command": ["faketime", "-f", "+0 x200", b.EMU, "--scenario", f.name, "--log",
                                                  at + "/log.jsonl", "--images", at + "/img", "--", b.BRISK]}
        with open(os.path.join(d, "hosts.yml"), "w") as f:
            json.dump({"tape_hosts": {"hosts": hosts}}, f)
        env = dict(os.environ, ANSIBLE_HOME=d, ANSIBLE_LOCAL_TEMP=d, ANSIBLE_REMOTE_TEMP=d, ANSIBLE_NOCOLOR="1",
                   ANSIBLE_CALLBACK_FORMAT_PRETTY="0", ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3",
                   ANSIBLE_HOST_KEY_CHECKING="0", **b.SANITIZERS)
        extra = dict({"brisk_image": fw, "brisk_vendor": "IBM", "brisk_product": "ULT", "brisk_revision": "0101"},
                     **variables)
        return d, extra, subprocess.run(["ansible-playbook", "-v", "-i", f.name, PLAYBOOK, "-e", json.dumps(extra)],
                                        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def test_rollouts(self):
        for title, variables, libraries, status, states in self.ROWS:
            with self.subTest(title):
                d, extra, p = self.play(variables, libraries)
                self.assertEqual(p.returncode, status, p.stdout[-3000:] + p.stderr)
                results = re.findall(r"^(ok|changed|fatal): \[(h\d)\](?:: FAILED!)? => (\{.*\})$", p.stdout, re.M)
                recap = {h: (int(c), int(f)) for h, c, f in re.findall(
                    r"^(h\d) +: ok=\d+ +changed=(\d+) +unreachable=0 +failed=(\d+)", p.stdout, re.M)}
                for h, (devices, state) in enumerate(zip(libraries, states), 1):
                    host, log = "h%d" % h, b.Result(os.path.join(d, "h%d" % h), 0, b"", b"", False)
                    mine = [(word, json.loads(r)) for word, n, r in results if n == host]
                    match = [x for x in devices if x["vendor"] == extra["brisk_vendor"]
                             and x["product"].startswith(extra["brisk_product"])]
                    want = [dict(vendor=x["vendor"], product=x["product"], serial=x["serial"], state=state,
                                 revision_before=x["revision"], revision_after="0101" if state == UP else x["revision"])
                            for x in match]
                    facts = [r["ansible_facts"]["brisk_drives"] for _, r in mine if "ansible_facts" in r]
                    self.assertEqual([drives(f) for f in facts], [drives(want)] if state else [])
                    self.assertEqual(sorted({c["device"] for c in log.commands(op=0x3B)}),
                                     sorted(x["name"] for x in match) if state in (UP, FAILED) else [])
                    self.assertEqual(log.images, {x["name"]: b.image(100000) for x in match} if state == UP else {})
                    self.assertEqual(recap.get(host), state and (int(state == UP), int(state == FAILED)))
                    # The failed host's message: its last table and brisk's standard error.
                    table = re.sub(rb"(SNd0 +)Available    ", rb"\1Update failed", b.table(b.listed(devices))[1:])
                    msg = (b"Not every chosen drive on %s reports F/W Upgraded with 0101:\n" % host.encode() + table
                           + b"brisk standard error:\n" + REFUSED)
                    fatal = [NODE.sub(rb"\1:\t", r["msg"].encode("latin-1")) for w, r in mine if w == "fatal"]
                    self.assertEqual(fatal, [NODE.sub(rb"\1:\t", msg)] if state == FAILED else [])


if __name__ == "__main__":
    b.main()
