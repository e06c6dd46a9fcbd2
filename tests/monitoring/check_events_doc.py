#!/usr/bin/env python3
"""docs/events.md against the service's message table: the same identifiers, each with the
right EventID, Qualifiers and class; the subscription's query names the same source.

    check_events_doc.py <korrin_messages.mc> <events.md> <halv-subscription.xml>
"""
import re
import sys
import xml.etree.ElementTree as ET

SOURCE = "Torvale Disk Controller Message Agent"
CLASSES = {"Success": 0, "Informational": 1, "Warning": 2, "Error": 3}


def mc_identifiers(path):
    """Full 32-bit identifiers of a message-compiler source: severity, facility, MessageId."""
    text = open(path, encoding="utf-8").read()
    facilities = {m[1]: int(m[2], 0) for m in re.finditer(r"(\w+)=(0x[0-9A-Fa-f]+):FACILITY_", text)}
    ids = {}
    # Each message header runs from MessageId= to Language=; its text follows up to a lone ".".
    for block in re.finditer(r"^MessageId=(\S*)\s*$(.*?)^Language=", text, re.M | re.S):
        fields = dict(re.findall(r"^(\w+)=(\S+)\s*$", block[2], re.M))
        severity = CLASSES[fields.get("Severity", "Success")]
        facility = facilities.get(fields.get("Facility", ""), 0)
        ident = (severity << 30) | (facility << 16) | int(block[1], 0)
        ids[ident] = fields.get("SymbolicName", "")
    return ids


def doc_rows(path):
    rows = {}
    for line in open(path, encoding="utf-8"):
        m = re.match(r"\|\s*0x([0-9A-Fa-f]{8})\s*\|\s*(\d+)\s*\|\s*(\d+)\s*\|\s*(\w+)\s*\|", line)
        if not m:
            continue
        ident = int(m[1], 16)
        if ident in rows:
            sys.exit(f"{path}: 0x{ident:08X} listed twice")
        rows[ident] = (int(m[2]), int(m[3]), m[4])
    return rows


def main():
    mc, doc, subscription = sys.argv[1:4]
    expected, listed = mc_identifiers(mc), doc_rows(doc)
    failures = []
    for ident in sorted(set(expected) - set(listed)):
        failures.append(f"0x{ident:08X} ({expected[ident]}) is in {mc} but not in {doc}")
    for ident in sorted(set(listed) - set(expected)):
        failures.append(f"0x{ident:08X} is in {doc} but not in {mc}")
    for ident, (event_id, qualifiers, cls) in sorted(listed.items()):
        want = (ident & 0xFFFF, ident >> 16, [k for k, v in CLASSES.items() if v == ident >> 30][0])
        if (event_id, qualifiers, cls) != want:
            failures.append(f"0x{ident:08X}: {doc} says {event_id}/{qualifiers}/{cls}, expected {want}")
    if len(expected) == 0:
        failures.append(f"no message found in {mc}")

    # The subscription forwards this source from the Application log, whatever the level.
    root = ET.parse(subscription).getroot()
    ns = {"s": root.tag.split("}")[0].strip("{")}
    query = root.find("s:Query", ns).text
    qroot = ET.fromstring(query.strip())
    selects = qroot.findall(".//Select")
    if not any(s.get("Path") == "Application" and f"@Name='{SOURCE}'" in s.text for s in selects):
        failures.append(f"{subscription}: no Select of the Application log for '{SOURCE}'")

    for f in failures:
        print(f)
    print(f"{len(listed)} identifiers listed, {len(expected)} in the message table")
    return 1 if failures else 0


sys.exit(main())
