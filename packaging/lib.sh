# Shell functions that the packaging scripts share. Sourced, not run.

# pe_file_version FILE: the file version from FILE's version resource (VS_FIXEDFILEINFO),
# as a.b.c.d; nothing when FILE has none.
pe_file_version() {
    local at ms ls
    at=$(LC_ALL=C grep -obUaP -m1 '\xbd\x04\xef\xfe' "$1" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -n "$at" ] || return 0
    # Signature, structure version, then the file version's high and low double words.
    read -r ms ls < <(od -An -tu4 -j $((at + 8)) -N 8 "$1")
    echo "$((ms >> 16)).$((ms & 65535)).$((ls >> 16)).$((ls & 65535))"
}

# pe_product_version FILE: the product version from the same structure, as a.b.c.d.
pe_product_version() {
    local at ms ls
    at=$(LC_ALL=C grep -obUaP -m1 '\xbd\x04\xef\xfe' "$1" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -n "$at" ] || return 0
    read -r ms ls < <(od -An -tu4 -j $((at + 16)) -N 8 "$1")
    echo "$((ms >> 16)).$((ms & 65535)).$((ls >> 16)).$((ls & 65535))"
}

# pe_symbol_count FILE: the number of COFF symbols the image still carries (0 when stripped).
pe_symbol_count() {
    local pe
    pe=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    # PE signature, then the file header: machine, sections, time stamp, symbol table
    # pointer, symbol count.
    od -An -tu4 -j $((pe + 16)) -N 4 "$1" | tr -d ' '
}

# shipped_files [COLUMN]: the shipped files' lines of packaging/shipped-files without comments,
# or only column COLUMN (1 name, 2 built, 3 signature, 4 component, 5 more) of each.
shipped_files() {
    local list
    list=$(dirname "${BASH_SOURCE[0]}")/shipped-files
    awk -v c="${1:-0}" '!/^[[:space:]]*(#|$)/ { print (c ? $c : $0) }' "$list"
}
