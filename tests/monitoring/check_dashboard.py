#!/usr/bin/env python3
"""The dashboard parses as JSON, and every metric its queries name is a family that
"halvctl metrics" prints (its # TYPE lines).

    check_dashboard.py <halv-dashboard.json> <exposition text>
"""
import json
import re
import sys


def expressions(node):
    """Every query text of the dashboard: panel targets and templating queries."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key in ("expr", "query", "definition") and isinstance(value, str):
                yield value
            else:
                yield from expressions(value)
    elif isinstance(node, list):
        for item in node:
            yield from expressions(item)


def main():
    dashboard = json.load(open(sys.argv[1], encoding="utf-8"))
    families = set(re.findall(r"^# TYPE (\S+) ", open(sys.argv[2], encoding="utf-8").read(), re.M))
    if not families:
        print(f"{sys.argv[2]}: no metric family")
        return 1
    used = set()
    for expr in expressions(dashboard):
        used.update(re.findall(r"\bhalv_[a-z0-9_]+", expr))
    unknown = sorted(used - families)
    for name in unknown:
        print(f"the dashboard asks for {name}, which halvctl metrics does not print")
    if not used:
        print("the dashboard names no halv_ metric")
        return 1
    print(f"{len(used)} metrics used, {len(families)} printed")
    return 1 if unknown else 0


sys.exit(main())
