#!/bin/bash
# check_stdcall.sh - the 32-bit build keeps the stdcall discipline in its code, not only in its
# names: every export _Name@N of k7340.dll returns with `ret $N` (a plain `ret` for @0), and
# every call into k7340.dll from the programs leaves the popping of its N bytes to the callee.
#
#   tests/wine/check_stdcall.sh [DLL [PROGRAM...]]
#     default: build/mingw32/bin/k7340.dll, k7340config.exe and 7340demo.exe
#
# MinGW's i686 GCC stores outgoing arguments at (%esp) in a frame of fixed size. A callee that
# pops N bytes shrinks that frame, so a correct caller grows it back by exactly N (a sub or
# pushes) before its next branch or call; a caller that took the callee for cdecl does not.
# A call into k7340.dll is a call to a thunk `jmp *SLOT` or a `call *SLOT`, SLOT being one of
# the DLL's import address slots. An import without any such call fails the check: it is called
# in a way the check cannot follow. Exports are found with their addresses in `objdump -p`, their
# code up to the next symbol in `objdump -d` (the builds keep their symbols).
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}
DLL=${1:-$ROOT/build/mingw32/bin/k7340.dll}
if [ $# -gt 1 ]; then
    PROGRAMS=("${@:2}")
elif [ $# -eq 0 ]; then
    PROGRAMS=("$ROOT/build/mingw32/bin/k7340config.exe" "$ROOT/build/mingw32/bin/7340demo.exe")
else
    PROGRAMS=()
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/k7340-stdcall.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
    echo "FAIL check_stdcall: $*"
    failed=1
}

# Shared by the awk programs: hex text to a number, and a name's N from its @N.
AWK_LIB='
function hex(s,    n, i, c) {
    sub(/^0x/, "", s); n = 0
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", tolower(substr(s, i, 1))); n = n * 16 + c - 1
    }
    return n
}
function popped(name) { sub(/.*@/, "", name); return name + 0 }
'

# --- exports: every ret of _Name@N is `ret $N` ----------------------------------------------
[ -f "$DLL" ] || { echo "FAIL check_stdcall: $DLL not found (build the mingw32 preset first)"; exit 1; }
"$OBJDUMP" -p "$DLL" >"$tmp/dll.p" && "$OBJDUMP" -d "$DLL" >"$tmp/dll.d" ||
    { echo "FAIL check_stdcall: $OBJDUMP cannot read $DLL"; exit 1; }
# "ADDRESS NAME" for each decorated export (the name table's index is the export's ordinal slot).
awk "$AWK_LIB"'
    $1 == "ImageBase" { base = hex($2) }
    /^Export Address Table/ { table = "rva"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { table = "name"; next }
    NF == 0 { table = "" }
    table == "rva" && /Export RVA/ { i = $2; sub(/\]/, "", i); rva[i + 0] = hex($(NF - 2)) }
    table == "name" && $NF ~ /^_[A-Za-z0-9_]+@[0-9]+$/ {
        i = $2; sub(/\]/, "", i); printf "%x %s\n", base + rva[i + 0], $NF
    }' "$tmp/dll.p" >"$tmp/exports"
[ -s "$tmp/exports" ] || fail "$(basename "$DLL") exports no decorated name"
# One line per export: "NAME RETS WRONG" (WRONG lists the returns that are not `ret $N`).
awk "$AWK_LIB"'
    FNR == NR { want[$1] = $2; next }
    /^[0-9a-f]+ <.*>:$/ { a = $1; sub(/^0+/, "", a); cur = (a in want) ? want[a] : ""; next }
    cur != "" && /^ *[0-9a-f]+:\t/ {
        split($0, f, "\t"); insn = f[3]
        if (insn !~ /^(repz )?ret/) next
        rets[cur]++
        n = popped(cur); ok = (n == 0) ? (insn ~ /^(repz )?ret *$/) : (insn ~ ("\\$0x" sprintf("%x", n) "$"))
        if (!ok) { w = f[1]; sub(/^ */, "", w); wrong[cur] = wrong[cur] " " w " " insn }
    }
    END { for (a in want) printf "%s %d%s\n", want[a], rets[want[a]], wrong[want[a]] }
    ' "$tmp/exports" "$tmp/dll.d" | sort >"$tmp/returns"
exports=0
while read -r name rets wrong; do
    exports=$((exports + 1))
    if [ "$rets" -eq 0 ]; then
        fail "$name: no ret found at its symbol (stripped, or a tail call the check cannot judge)"
    elif [ -n "$wrong" ]; then
        fail "$name: not every ret pops ${name##*@} bytes:$(sed 's/  */ /g' <<<" $wrong")"
    fi
done <"$tmp/returns"

# --- callers: every call into k7340.dll is followed by a regrowth of N bytes -----------------
calls_summary=""
for exe in "${PROGRAMS[@]}"; do
    base=$(basename "$exe")
    if [ ! -f "$exe" ] || ! "$OBJDUMP" -p "$exe" >"$tmp/exe.p" || ! "$OBJDUMP" -d "$exe" >"$tmp/exe.d"; then
        fail "$exe not found or not readable"
        continue
    fi
    # "SLOT NAME" for each import from k7340.dll: the DLL's first thunk + 4 per entry.
    awk "$AWK_LIB"'
        $1 == "ImageBase" { base = hex($2) }
        NF == 6 && $1 ~ /^[0-9a-f]+$/ && length($1) == 8 { first = hex($6) }
        /DLL Name:/ { inside = (tolower($3) == "k7340.dll"); n = 0; next }
        inside && NF == 0 { inside = 0 }
        inside && $NF ~ /@[0-9]+$/ { printf "%x %s\n", base + first + 4 * n++, $NF }
    ' "$tmp/exe.p" >"$tmp/slots"
    if [ ! -s "$tmp/slots" ]; then
        fail "$base imports nothing from k7340.dll"
        continue
    fi
    # One line per call ("ADDRESS NAME GROWTH"), then one per import never called ("- NAME -").
    awk "$AWK_LIB"'
        function target(insn,    t) {   # the import a call or jump reaches, or ""
            if (insn ~ /^(call|jmp) +\*0x[0-9a-f]+/) {
                t = insn; sub(/^[a-z]+ +\*0x/, "", t); sub(/[^0-9a-f].*/, "", t); sub(/^0+/, "", t)
                return (t in slot) ? slot[t] : ""
            }
            if (insn ~ /^call +[0-9a-f]+/) {
                t = insn; sub(/^call +/, "", t); sub(/[^0-9a-f].*/, "", t); sub(/^0+/, "", t)
                return (t in thunk) ? thunk[t] : ""
            }
            return ""
        }
        function finish() {
            if (pending != "") printf "%s %s %d\n", site, pending, growth
            pending = ""
        }
        FNR == 1 { pass++ }   # 1: the slots, 2: the dump for the thunks, 3: the dump for the calls
        pass == 1 { slot[$1] = $2; called[$2] = 0; next }
        !/^ *[0-9a-f]+:\t/ { if (pass == 3) finish(); next }
        {
            split($0, f, "\t"); insn = f[3]; a = f[1]; sub(/^ */, "", a); sub(/:$/, "", a)
            if (insn == "") next   # the second line of a long instruction
        }
        pass == 2 {
            if (insn ~ /^jmp +\*0x/ && target(insn) != "") thunk[a] = target(insn)
            next
        }
        pending != "" {
            # The regrowth: the pushes and subs up to the first other change of %esp (an
            # add or pop of an epilogue, say) or branch.
            if (insn ~ /^push/) { growth += 4; next }
            if (insn ~ /^sub +\$0x[0-9a-f]+,%esp$/) { v = insn; sub(/.*\$/, "", v); sub(/,.*/, "", v); growth += hex(v); next }
            if (insn ~ /^(j|call|ret|leave|pop)/ || insn ~ /,%esp$/) finish()
        }
        insn ~ /^call/ && target(insn) != "" {
            finish(); pending = target(insn); site = a; growth = 0; called[pending]++
        }
        END { finish(); for (n in called) if (!called[n]) printf "- %s -\n", n }
    ' "$tmp/slots" "$tmp/exe.d" "$tmp/exe.d" >"$tmp/calls"
    calls=0
    while read -r site name growth; do
        if [ "$site" = "-" ]; then
            fail "$base: no call to $name found (called in a way the check does not follow)"
            continue
        fi
        calls=$((calls + 1))
        [ "$growth" -eq "${name##*@}" ] ||
            fail "$base: the call to $name at $site grows the frame back by $growth bytes, not ${name##*@}"
    done <"$tmp/calls"
    calls_summary+=", $base: $calls calls"
done

if [ $failed -ne 0 ]; then
    exit 1
fi
echo "PASS check_stdcall: $(basename "$DLL"): $exports exports pop their arguments$calls_summary" \
    "leave the popping to the callee"
exit 0
