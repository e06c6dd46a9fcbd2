#!/usr/bin/env python3
"""Validates halvctl's JSON documents against docs/halvctl.schema.json.

    validate_json.py SCHEMA DOCUMENT...

The schema must itself be a valid draft 2020-12 schema, every document must exist and pass
it, and the schema must refuse a document spoilt in a few known ways (so that a schema that
accepts anything cannot pass). Prints one line per document and "N passed, N failed".
"""
import copy
import json
import sys

import jsonschema


def spoilt(doc):
    """Copies of a passing document that the schema must refuse."""
    out = []
    bad = copy.deepcopy(doc)
    bad["schema_version"] = 1
    out.append(("schema_version 1", bad))
    bad = copy.deepcopy(doc)
    bad["collected_at"] = "9 December, 13:20"
    out.append(("a collection time that is not RFC 3339 UTC", bad))
    bad = copy.deepcopy(doc)
    bad.pop("tool_version")
    out.append(("no tool version", bad))
    bad = copy.deepcopy(doc)
    bad.pop("adapters")
    out.append(("no adapters", bad))
    if doc["adapters"]:
        bad = copy.deepcopy(doc)
        bad["adapters"][0]["pci_device_id"] = str(bad["adapters"][0]["pci_device_id"])
        out.append(("a number as text", bad))
        bad = copy.deepcopy(doc)
        bad["adapters"][0]["surplus"] = 1
        out.append(("a field the schema does not know", bad))
        devices = [d for p in doc["adapters"][0]["ports"] for d in p["devices"]]
        if devices:
            bad = copy.deepcopy(doc)
            first = [d for p in bad["adapters"][0]["ports"] for d in p["devices"]][0]
            first["smart"]["value"] = "1"
            out.append(("a S.M.A.R.T. value as text", bad))
    return out


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    passed = failed = 0
    for path in argv[2:]:
        try:
            with open(path, encoding="utf-8") as f:
                doc = json.load(f)
        except (OSError, ValueError) as e:
            print(f"FAIL {path}: {e}")
            failed += 1
            continue
        errors = sorted(validator.iter_errors(doc), key=lambda e: list(e.path))
        for e in errors[:5]:
            print(f"FAIL {path}: {'/'.join(map(str, e.path)) or '(document)'}: {e.message}")
        accepted = [what for what, bad in spoilt(doc) if validator.is_valid(bad)] if not errors else []
        for what in accepted:
            print(f"FAIL {path}: the schema accepts {what}")
        if errors or accepted:
            failed += 1
        else:
            print(f"ok   {path}")
            passed += 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
