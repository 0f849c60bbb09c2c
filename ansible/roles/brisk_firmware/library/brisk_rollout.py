#!/usr/bin/python3
# Copyright (c) 2026 The brisk developers; MIT License (see LICENSE)
"""Runs brisk's batch mode once on this host and reports its drives."""
from __future__ import absolute_import, division, print_function

import json
import subprocess
import tempfile

from ansible.module_utils.basic import AnsibleModule

__metaclass__ = type

DOCUMENTATION = r"""
---
module: brisk_rollout
short_description: Download one firmware image into the matching drives of a host with brisk
description:
  - Runs C(brisk --update IMAGE --match VENDOR[:PRODUCT] --json) once. brisk lists the drives,
    plans which of them get the image, downloads it to each in turn, holds each drive through
    its recovery and checks it.
  - In check mode brisk runs without C(--yes), so it plans and sends nothing but the commands
    of its listing. The task then reports changed when some drive would be downloaded.
  - brisk runs in a session of its own and without any time limit, so that neither a lost
    connection nor this module ever stops it while it writes a drive's flash. Every download
    is also recorded in brisk's history file on the host.
version_added: "1.1.0"
author: The brisk developers
options:
  command:
    description: The command that runs brisk; its arguments are appended.
    type: list
    elements: str
    default: ["/usr/sbin/brisk"]
  options:
    description: Further brisk options, placed before the others (e.g. C(["-l", "65536"])).
    type: list
    elements: str
    default: []
  image:
    description:
      - The image on the host. Its file name counts, as brisk picks the buffer of some
        changers by it (C(S_R_)).
    type: path
    required: true
  vendor:
    description: The drives' INQUIRY vendor must begin with this.
    type: str
    required: true
  product:
    description: The drives' INQUIRY product must begin with this; empty matches every product.
    type: str
    default: ""
  revision:
    description:
      - The revision the image brings. Drives that already report it are skipped, and a
        downloaded drive must report it afterwards.
      - Without it a downloaded drive must report a revision other than its old one.
    type: str
  from_revisions:
    description: Only drives that report one of these revisions are downloaded.
    type: list
    elements: str
    default: []
  sha256:
    description: The image's SHA-256 digest; brisk refuses to start when the file differs.
    type: str
  allow_default_mode:
    description: Whether drives that brisk knows no download method for get its default method.
    type: bool
    default: false
notes:
  - Supports check mode and diff mode (the revision of each matching drive before and after).
requirements:
  - brisk 1.1.0 or later on the host, run as root.
"""

EXAMPLES = r"""
- name: Level the LTO-5 drives at 0101
  brisk_rollout:
    image: /tmp/brisk/ltfs-0101.bin
    vendor: IBM
    product: ULT3580-TD5
    revision: "0101"
    from_revisions: ["0090", "0100"]
    sha256: 9f2c0d...e1
"""

RETURN = r"""
drives:
  description: brisk's report of each listed drive that matches, as in C(ansible_facts.brisk_drives).
  returned: when brisk started
  type: list
  elements: dict
  sample:
    - node: /dev/nst0
      generic_node: /dev/sg3
      class: tape
      vendor: IBM
      product: ULT3580-TD5
      serial: "1068001234"
      revision_before: "0100"
      revision_after: "0101"
      method: {vendor: IBM, product: "", file_match: "", mode: 4, buffer_id: 0, transfer_size: 0,
               recovery_seconds: 120, fallback: false}
      outcome: upgraded
      reason: null
      messages: []
      started: "2026-12-08T19:02:11Z"
      ended: "2026-12-08T19:04:40Z"
run_id:
  description: The run's identifier, also in brisk's history records.
  returned: when brisk started
  type: str
rc:
  description: brisk's exit status (0 done, 1 a drive failed, 2 nothing to do, 255 refused).
  returned: always
  type: int
stderr:
  description: brisk's messages.
  returned: always
  type: str
ansible_facts:
  description: C(brisk_drives), the same list as I(drives).
  returned: when brisk started
  type: dict
"""

DONE = ("upgraded", "planned")


def argv(p, check_mode):
    args = list(p["command"]) + list(p["options"]) + [
        "--update", p["image"], "--match", p["vendor"] + (":" + p["product"] if p["product"] else ""),
        "--json"]
    if p["revision"]:
        args += ["--revision", p["revision"]]
    if p["from_revisions"]:
        args += ["--from", ",".join(p["from_revisions"])]
    if p["sha256"]:
        args += ["--sha256", p["sha256"]]
    if p["allow_default_mode"]:
        args.append("--allow-default-mode")
    return args if check_mode else args + ["--yes"]


def diff(drives, target):
    def shown(d, after):
        rev = d["revision_before"]
        if after and d["outcome"] == "planned":
            rev = target or "(a new revision)"
        elif after and d.get("revision_after"):
            rev = d["revision_after"]
        return "%s %s serial %s: revision %s\n" % (d["vendor"], d["product"], d["serial"], rev)
    return [dict(before_header=d["node"], after_header=d["node"], before=shown(d, False), after=shown(d, True))
            for d in drives]


def main():
    module = AnsibleModule(argument_spec=dict(
        command=dict(type="list", elements="str", default=["/usr/sbin/brisk"]),
        options=dict(type="list", elements="str", default=[]),
        image=dict(type="path", required=True),
        vendor=dict(type="str", required=True),
        product=dict(type="str", default=""),
        revision=dict(type="str"),
        from_revisions=dict(type="list", elements="str", default=[]),
        sha256=dict(type="str"),
        allow_default_mode=dict(type="bool", default=False)), supports_check_mode=True)
    # A session of its own, no timeout, and files rather than pipes for its
    # output: whatever happens to this module or its connection, no signal
    # and no broken pipe cuts a drive's flash short.
    with tempfile.TemporaryFile() as o, tempfile.TemporaryFile() as e:
        rc = subprocess.call(argv(module.params, module.check_mode), stdin=subprocess.DEVNULL, stdout=o,
                             stderr=e, start_new_session=True)
        o.seek(0)
        e.seek(0)
        out, stderr = o.read().decode("utf-8", "replace"), e.read().decode("utf-8", "replace")
    try:
        report = json.loads(out)
    except ValueError:
        report = None
    if rc == 255 or not isinstance(report, dict):
        module.fail_json(msg=stderr.strip() if rc == 255 and stderr.strip() else
                         "brisk ended with status %d without a report:\n%s" % (rc, stderr), rc=rc, stderr=stderr)
    drives = report.get("drives", [])
    result = dict(rc=rc, stderr=stderr, drives=drives, run_id=report.get("run_id"),
                  ansible_facts=dict(brisk_drives=drives), diff=diff(drives, module.params["revision"]))
    # A drive at the target is done; any other left alone (busy, no method,
    # another revision) still wants someone to look at it.
    for d in drives:
        if d["outcome"] == "skipped" and not (d.get("reason") or "").startswith("already at revision"):
            module.warn("%(node)s %(vendor)s %(product)s %(serial)s left alone: %(reason)s" % d)
    if not drives:
        module.warn("no drive matches vendor '%(vendor)s' and product '%(product)s'" % module.params)
    if rc not in (0, 2):
        module.fail_json(msg="brisk ended with status %d:\n%sbrisk standard error:\n%s" % (
            rc, "".join("%s %s %s %s revision %s%s: %s%s\n" % (
                d["node"], d["vendor"], d["product"], d["serial"], d["revision_before"],
                " -> " + d["revision_after"] if d.get("revision_after") else "", d["outcome"],
                ", " + d["reason"] if d.get("reason") else "") for d in drives), stderr), **result)
    # rc 2 (nothing to do) is no failure.
    module.exit_json(changed=rc == 0 and any(d["outcome"] in DONE for d in drives), failed=False, **result)


if __name__ == "__main__":
    main()
