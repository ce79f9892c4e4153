#!/usr/bin/env bash
# Checks kivHttp.dll's tables with the cross objdump:
#   - a 32-bit x86 DLL whose export directory names the module kivHttp.dll;
#   - exactly the 17 kiv* functions exported, by name, undecorated, with
#     ordinals 1 to 17 in the alphabetical order of the names;
#   - imports from system DLLs and libcurl's DLL only (the C++, gcc and
#     thread runtimes are linked in).
#
#   check-dll.sh OBJDUMP kivHttp.dll
set -uo pipefail

objdump=$1
dll=$2

expected=(kivAsyncCancel kivAsyncCancelDownload kivAsyncDownload kivAsyncGet kivAsyncPost
          kivAsyncPostFile kivFreeHttp kivGetHttpBody kivGetHttpBodyLen kivGetHttpCode
          kivGetHttpHeader kivHttpCleanup kivHttpStartup kivSyncDownload kivSyncGet kivSyncPost
          kivSyncPostFile)

fail=0
check() {  # check CONDITION-STATUS MESSAGE
  if [ "$1" -eq 0 ]; then echo "ok   $2"; else echo "FAIL $2"; fail=1; fi
}

dump=$("$objdump" -p "$dll") || { echo "FAIL cannot read $dll"; exit 1; }
grep -q 'file format pei-i386' <<<"$dump"; check $? "32-bit x86 (pei-i386)"
awk '/^Characteristics/ {on = 1; next} on && /^[ \t]/ {if ($1 == "DLL") found = 1; next} on {exit}
     END {exit !found}' <<<"$dump"
check $? "marked as a DLL"

module=$(awk '/^Name[ \t]/ {print $NF; exit}' <<<"$dump")
[ "$module" = kivHttp.dll ]; check $? "module name kivHttp.dll (found: $module)"
base=$(awk '/^Ordinal Base/ {print $NF; exit}' <<<"$dump")
[ "$base" = 1 ]; check $? "ordinal base 1 (found: $base)"

# "[Ordinal/Name Pointer] Table" rows: "[   0] +base[   1]  0000 kivAsyncCancel"
# (older binutils: "[   0] kivAsyncCancel"); the ordinal is base + index.
mapfile -t rows < <(awk '
  /^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
  on && /^[ \t]*$/ {exit}
  on {
    line = $0
    match(line, /\[ *[0-9]+\]/); index_ = substr(line, RSTART + 1, RLENGTH - 2) + 0
    print index_ + '"$base"', $NF
  }' <<<"$dump")
echo "export table (ordinal name):"
printf '    %s\n' "${rows[@]}"

[ "${#rows[@]}" -eq 17 ]; check $? "17 names exported (found: ${#rows[@]})"
count=$(awk '/^Number in:/ {on = 1; next} on && /Export Address Table/ {print $NF; exit}' <<<"$dump")
[ -n "$count" ] && [ "$((16#$count))" -eq 17 ]; check $? "17 entries in the export address table (found: 0x$count)"
for i in "${!expected[@]}"; do
  want="$((i + 1)) ${expected[$i]}"
  [ "${rows[$i]:-}" = "$want" ]; check $? "ordinal $want"
done
sorted_c=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
sorted_f=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort -f)
[ "$sorted_c" = "$(printf '%s\n' "${expected[@]}")" ] && [ "$sorted_f" = "$sorted_c" ]
check $? "the ordinal order is the alphabetical order of the names"

mapfile -t imports < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
echo "import table:"
printf '    %s\n' "${imports[@]}"
for name in "${imports[@]}"; do
  case "${name,,}" in
    kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|ws2_32.dll|api-ms-win-*.dll)
      check 0 "imports $name (system)" ;;
    libcurl-4.dll)
      check 0 "imports $name (libcurl)" ;;
    *)
      check 1 "imports $name: neither a system DLL nor libcurl" ;;
  esac
done
printf '%s\n' "${imports[@]}" | grep -qix 'libcurl-4.dll'; check $? "libcurl-4.dll among the imports"

if [ "$fail" -ne 0 ]; then
  echo "kivHttp.dll tables: FAILED"
  exit 1
fi
echo "kivHttp.dll tables: all checks passed"
