#!/bin/sh
# The native halvctl's JSON documents, for every shipped population and a few narrowed ones,
# validated against the schema in docs/ by Debian's python3-jsonschema.
#   check_json_schema.sh <halvctl> <source root> <work folder> <python3>
set -eu
HALVCTL=$1 ROOT=$2 WORK=$3 PYTHON=$4
rm -rf "$WORK"; mkdir -p "$WORK"
docs=
for pop in "$ROOT"/sim/populations/*.json; do
    name=$(basename "$pop" .json)
    # show and list print the same document; health-style exit codes do not apply here.
    "$HALVCTL" --population "$pop" show --json >"$WORK/$name.json" 2>/dev/null || true
    "$HALVCTL" --population "$pop" list --json >"$WORK/$name-list.json" 2>/dev/null || true
    # The two runs may fall in different seconds: collected_at aside, they are the same.
    grep -v '"collected_at"' "$WORK/$name.json" >"$WORK/$name.cmp"
    grep -v '"collected_at"' "$WORK/$name-list.json" >"$WORK/$name-list.cmp"
    cmp -s "$WORK/$name.cmp" "$WORK/$name-list.cmp" || { echo "list --json differs from show --json for $name"; exit 1; }
    docs="$docs $WORK/$name.json"
done
"$HALVCTL" show 0 --json >"$WORK/default-adapter0.json"
"$HALVCTL" show 0/0/0 --json >"$WORK/default-disk.json"
"$HALVCTL" show 0/2/0 --json >"$WORK/default-optical.json"
"$HALVCTL" show 1/1/0 --json >"$WORK/default-unsupported-enclosure.json"
exec "$PYTHON" "$ROOT/tests/cli/validate_json.py" "$ROOT/docs/halvctl.schema.json" $docs \
    "$WORK/default-adapter0.json" "$WORK/default-disk.json" "$WORK/default-optical.json" \
    "$WORK/default-unsupported-enclosure.json"
