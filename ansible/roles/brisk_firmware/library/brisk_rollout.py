#!/usr/bin/python3
"""Runs brisk once on this host: reads its table, selects the drives whose
identity matches, answers the dialogue to its end and reports each matching
drive as brisk's last table shows it."""
import re
import tempfile

import pexpect
from ansible.module_utils.basic import AnsibleModule

# A row of brisk's table, or without its number a row of the selected list:
# number, node, vendor, product, revision, serial, state.
ROW = re.compile(r"^(?:(\d+):)?([^\t\n]*)\t(.{8})  (.{16})  (.{4})  (.{12})   (.{13})$", re.M)
PROMPTS = [r"or 0 to quit\) \[\d+\]: ", r"firmware to th(?:is device|ese devices) \[N\]\? ",
           r"with buffer offsets \[N\]\? ", "eject the tape manually", "Press <Enter> to Continue ",
           pexpect.EOF]
HEADER = ("ATTACHED DEVICES:\n\nDevice        \tSupplier  Product           Rev   Serial Number"
          "  Device State\n--------------\t--------  ----------------  ----  -------------  -------------\n")
LEFT_ALONE = "left alone: needs the default download mode"


def parse(text):
    return [m.groups() + (m[0],) for m in ROW.finditer(text)]


def table(text):
    """Row number -> the row as last shown: later tables overwrite earlier ones."""
    return {int(r[0]): r for r in parse(text) if r[0]}


def ident(row):
    return row[2], row[3], row[5]


def ranges(numbers):
    spans = []
    for n in numbers:
        if spans and spans[-1][1] == n - 1:
            spans[-1][1] = n
        else:
            spans.append([n, n])
    return ",".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in spans)


def main():
    module = AnsibleModule(argument_spec=dict(
        command=dict(type="list", elements="str", default=["/usr/sbin/brisk"]),
        options=dict(type="list", elements="str", default=[]), image=dict(type="path", required=True),
        vendor=dict(type="str", required=True), product=dict(type="str", default=""),
        revision=dict(type="str", required=True), allow_default_mode=dict(type="bool", default=False),
        timeout=dict(type="int", default=600)))
    p = module.params
    err = tempfile.NamedTemporaryFile(prefix="brisk-stderr-")
    # brisk's standard error goes to a file of its own, so that its messages
    # reach the report apart from the dialogue.
    child = pexpect.spawn("/bin/sh", ["-c", 'exec "$@" 2>"$0"', err.name] + p["command"] + p["options"]
                          + [p["image"]], encoding="latin-1", dimensions=(24, 80), timeout=p["timeout"])
    text, first, mark, match, chosen, left, why = "", None, 0, [], [], set(), None
    try:
        while True:
            i = child.expect(PROMPTS)
            text += (child.before + (child.after if i < 5 else "")).replace("\r\n", "\n")
            if i == 0 and first is None:
                first, mark = table(text), len(text)
                match = [n for n, r in sorted(first.items())
                         if r[2].startswith(p["vendor"]) and r[3].startswith(p["product"])]
                chosen = [n for n in match if first[n][4].strip() != p["revision"]]
                child.sendline(ranges(chosen) or "0")
            elif i == 0:
                child.sendline("0")
            elif i == 1:
                # Only the drives chosen here, read back from brisk's own list.
                shown = sorted(ident(r) for r in parse(text[mark:]) if not r[0])
                child.sendline("y" if shown == sorted(ident(first[n]) for n in chosen) else "n")
            elif i == 2:
                n = next(n for n, r in table(text).items() if r[6] == "Downloading  ")
                child.sendline("y" if p["allow_default_mode"] else "n")
                left.update(() if p["allow_default_mode"] else [n])
            elif i == 3:
                raise RuntimeError("a tape drive keeps its cartridge: unload it and run again")
            elif i == 4:
                child.sendline("")
            else:
                break
        child.close()
        if child.exitstatus != 0:
            why = "brisk ended with status %s, signal %s" % (child.exitstatus, child.signalstatus)
    except Exception as e:
        if isinstance(e, pexpect.TIMEOUT):
            # What brisk printed last is still pending, unmatched.
            text, e = text + child.before, "brisk printed nothing for %d seconds" % p["timeout"]
        child.close(force=True)
        why = "brisk was stopped: %s" % e
    stderr = err.read().decode("latin-1")
    if why:
        module.fail_json(msg="%s\n%s\nbrisk standard error:\n%s" % (why, text[-3000:], stderr))
    last, drives, bad = table(text), [], []
    for n in match:
        before, after = first[n], last[n]
        drives.append(dict(node=after[1].strip(), vendor=before[2].strip(), product=before[3].strip(),
                           serial=before[5].strip(), revision_before=before[4].strip(),
                           revision_after=after[4].strip(),
                           state=LEFT_ALONE if n in left else after[6].strip()))
        if n in left:
            module.warn("%(node)s %(vendor)s %(product)s %(serial)s %(state)s (see brisk_allow_default_mode)"
                        % drives[-1])
        elif n in chosen and (after[6], after[4].strip()) != ("F/W Upgraded ", p["revision"]):
            bad.append(drives[-1])
    if not match:
        module.warn("no drive matches vendor '%(vendor)s' and product '%(product)s'" % p)
    module.exit_json(changed=len(chosen) > len(left) + len(bad), drives=drives, failed_drives=bad,
                     table=HEADER + "".join(r[7] + "\n" for _, r in sorted(last.items())), stderr=stderr)


if __name__ == "__main__":
    main()
