#!/usr/bin/env python3
"""The demo's readings of its logs (scripts/demo.sh).

  demo_report.py elements RESTORE_LOG JOB_NAME...
      per backup job of the restored chain and element: files written in place, for replacement
      at reboot, skipped and failed, from the plug-in's "Restored component" lines.
  demo_report.py verdict VERIFY_LOG HIVE_RECORD MACHINE_XML ROOT SYSTEM_HIVE REFERENCE_SYSTEM_HIVE
      the machine's verdict from simvss-layout --verify; exit status 0 when verified. The two
      hive files (Wine's text format) are the restored SYSTEM and that of a fresh layout of the
      generation, to tell the restore's own values from other content.

A system state restore leaves some differences on purpose, which the verdict names and accepts:
the files the hive replacement leaves beside the hives, the restored SYSTEM hive holding the
restore's own values (its reboot-time operations and restore id), and files of a file set the
writer wants only in full backups, which come back as the full backup saved them.
"""
import re
import sys
import xml.etree.ElementTree as ET

SUMMARY = re.compile(r"^INFO: Restored component ([^\\]*)\\(.*): (\d+) written in place, (\d+) for replacement "
                     r"at reboot, (\d+) skipped, (\d+) failed\.$")
SQL_WRITERS = {"SqlServerWriter", "MSDEWriter"}


def elements(log, job_names):
    # Each backup job of the chain restores each of its components once: a component seen again
    # begins the next job's segment.
    rows, seen, job = {}, set(), 0
    for line in open(log, encoding="utf-8", errors="replace"):
        m = SUMMARY.match(line.rstrip("\r\n"))
        if not m:
            continue
        writer, component = m.group(1), m.group(2)
        if (writer, component) in seen:
            job, seen = job + 1, set()
        seen.add((writer, component))
        element = "@MSSQL" if writer in SQL_WRITERS else "@SYSTEMSTATE"
        counts = rows.setdefault((job, element), [0, 0, 0, 0])
        for i in range(4):
            counts[i] += int(m.group(3 + i))
    print("%-22s %-14s %9s %10s %8s %7s" % ("backup job restored", "element", "in place", "at reboot", "skipped",
                                            "failed"))
    if not rows:
        print("(no restore summary lines)")
    for (job, element), c in sorted(rows.items()):
        name = job_names[job] if job < len(job_names) else "job %d" % (job + 1)
        print("%-22s %-14s %9d %10d %8d %7d" % (name, element, *c))


def full_only_patterns(machine_xml, root):
    """Regular expressions for the files of file sets a writer wants in full backups only."""
    patterns = []
    for writer in ET.parse(machine_xml).getroot().iter("writer"):
        for desc in writer.iter():
            if desc.tag not in ("file", "database", "log") or "typeMask" not in desc.attrib:
                continue
            mask = desc.get("typeMask").upper()
            if "INCREMENTAL" in mask or "ALL_BACKUP" in mask:
                continue
            folder = desc.get("path").replace("%SIMVSS_ROOT%", root).rstrip("\\")
            spec = re.escape(desc.get("filespec")).replace(r"\*", "[^\\\\]*").replace(r"\?", "[^\\\\]")
            deeper = r"(?:\\.*)?" if desc.get("recursive", "false").lower() in ("true", "yes", "1") else ""
            patterns.append(re.compile(re.escape(folder) + deeper + r"\\" + spec + "$", re.IGNORECASE))
    return patterns


# Values a system state restore writes into the restored SYSTEM hive: its restore id, the
# reboot-time operations, and the replication services' restore flags.
RESTORE_VALUES = {("control\\backuprestore\\systemstaterestore", "lastrestoreid"),
                  ("control\\session manager", "pendingfilerenameoperations"),
                  ("control\\session manager", "allowprotectedrenames"),
                  ("services\\dfsr\\restore", "sysvol"),
                  ("services\\ntfrs\\parameters\\backup/restore\\process at startup", "burflags")}


def hive_values(path):
    """{(key, value name): data} of a hive file in Wine's text format, without times."""
    values, key, pending = {}, None, ""
    for raw in open(path, encoding="utf-8", errors="replace"):
        line = pending + raw.rstrip("\r\n")
        if line.endswith("\\"):  # a long value goes on in the next line
            pending = line[:-1].rstrip()
            continue
        pending = ""
        if line.startswith("["):
            key = line[1:line.rindex("]")].lower().replace("\\\\", "\\")
        elif key is not None and line[:1] in ('"', "@"):
            name, _, data = line.partition("=") if line[0] == "@" else line[1:].partition('"=')
            values[(key, name.lower())] = data
    return values


def only_restore_values(restored, reference):
    """True when the restored hive is the reference plus the values the restore writes itself."""
    try:
        a, b = hive_values(restored), hive_values(reference)
    except OSError:
        return False
    def own(key, name):
        return any(key.endswith(k) and name == n for k, n in RESTORE_VALUES)
    strip = lambda v: {k: d for k, d in v.items() if not own(*k)}
    return bool(b) and strip(a) == strip(b)


def verdict(verify_log, hive_record, machine_xml, root, restored_system, reference_system):
    lines = [l.rstrip("\r\n") for l in open(verify_log, encoding="utf-8", errors="replace")]
    identical = next((int(m.group(1)) for l in lines for m in [re.search(r"(\d+) files? identical", l)] if m), 0)
    leftovers, system_hive = set(), None
    try:
        for rec in open(hive_record, encoding="utf-8", errors="replace"):
            f = rec.rstrip("\r\n").split("\t")
            if len(f) >= 6 and f[0] == "0":
                leftovers.update({f[3].lower(), f[4].lower()})
                if f[5].lower().endswith("\\system"):
                    system_hive = f[5].lower()
    except OSError:
        pass
    full_only = full_only_patterns(machine_xml, root)
    expected = {"hive": [], "system": [], "full": []}
    unexpected = []
    for line in lines:
        m = re.match(r"^(missing|extra|different): (.*?)( \(.*\))?$", line)
        if not m:
            continue
        kind, path = m.group(1), m.group(2)
        if kind == "extra" and path.lower() in leftovers:
            expected["hive"].append(path)
        elif (kind == "different" and path.lower() == system_hive and "registry content" in line and
              only_restore_values(restored_system, reference_system)):
            expected["system"].append(path)
        elif kind in ("different", "missing") and any(p.match(path) for p in full_only):
            expected["full"].append(line)
        else:
            unexpected.append(line)
    if unexpected:
        print("machine NOT verified: %d unexpected differences, %d files identical" % (len(unexpected), identical))
        for line in unexpected:
            print("  " + line)
    else:
        print("machine verified: %d files identical" % identical)
    accepted = sum(len(v) for v in expected.values())
    if accepted:
        print("  expected after a system state restore (%d):" % accepted)
    if expected["hive"]:
        print("    %d hive files the reboot's hive replacement leaves beside the hives (.restore, .backup)"
              % len(expected["hive"]))
    for path in expected["system"]:
        print("    %s: the generation's hive plus this restore's own values (restore id, reboot operations, "
              "replication flags)" % path)
    for line in expected["full"]:
        print("    %s: its writer backs it up in full backups only, so it is as the full backup saved it" % line)
    return 1 if unexpected else 0


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "elements":
        elements(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 8 and sys.argv[1] == "verdict":
        sys.exit(verdict(*sys.argv[2:]))
    else:
        sys.exit(__doc__)
