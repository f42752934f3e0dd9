#!/usr/bin/env bash
# registry_check.sh WINE_RUN OCX register|unregister|user|free [PROGRAM ARGS...]
# Registers (or unregisters) the control library with regsvr32 and checks
# every record it must leave in the registry (or that none is left). "user"
# registers for the current user alone, checks the same records under the
# user's classes and none under the machine's, then unregisters and checks
# that none is left. "free" checks that nothing is registered and that the
# library embeds the assembly manifest beside it, then runs PROGRAM, which
# names that assembly in its own manifest.
set -uo pipefail
wine_run=$1 ocx=$2 action=$3
libid='{3A5C19C5-CF50-4E1E-9292-C3BA85E174ED}'
kelbzip2='{93F02EBC-FB39-4672-AFAC-CFCB849A8C30}'
progbar='{186F87F8-A783-40F0-A541-067F4DF189F5}'
dual_kelbzip2='{0FAF581D-FB5A-4647-8E7F-9A76CA3B6ADC}'
events_kelbzip2='{C3C10D84-78D1-4DA5-9A1C-523D9F8CDA62}'
dual_progbar='{01A1DFF0-BDB3-4489-825D-BF91208F75F3}'
events_progbar='{CEDD87A6-A3CD-434B-861E-13B1B2FC7C2F}'
failures=0

query() { "$wine_run" reg query "$1" /s 2>/dev/null | tr -d '\r'; }
# value KEY NAME: the data of one value ("(Default)" for the default one)
value() {
  "$wine_run" reg query "$1" 2>/dev/null | tr -d '\r' |
    awk -v name="$2" '{ line=$0; sub(/^ +/, "", line); if (index(line, name " ") == 1) { sub(/^[^ ]+ +REG_[A-Z_]+ */, "", line); sub(/^\(Default\) +REG_[A-Z_]+ */, "", $0); print line; exit } }'
}
expect() {  # expect DESCRIPTION ACTUAL WANTED
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: got '$2', want '$3'"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}
expect_key() {  # expect_key KEY present|absent
  if "$wine_run" reg query "$1" >/dev/null 2>&1; then state=present; else state=absent; fi
  expect "$1 $2" "$state" "$2"
}

winpath="Z:$(readlink -f "$ocx" | tr / '\\')"

registered() {  # registered ROOT: every record, under the classes at ROOT
  local root=$1
  check_class() {  # CLSID PROGID MISC BITMAP
    local k="$root\\CLSID\\$1"
    expect "$2 name" "$(value "$k" '(Default)')" "$2"
    expect "$2 server" "$(value "$k\\InprocServer32" '(Default)')" "$winpath"
    expect "$2 threading model" "$(value "$k\\InprocServer32" ThreadingModel)" Apartment
    expect "$2 ProgID" "$(value "$k\\ProgID" '(Default)')" "$2"
    expect "$2 type library" "$(value "$k\\TypeLib" '(Default)')" "$libid"
    expect "$2 version" "$(value "$k\\VERSION" '(Default)')" 22.0
    expect "$2 misc status" "$(value "$k\\MiscStatus\\1" '(Default)')" "$3"
    expect "$2 toolbox bitmap" "$(value "$k\\ToolboxBitmap32" '(Default)')" "$winpath, $4"
    expect_key "$k\\Control" present
    expect "$2 ProgID class" "$(value "$root\\$2\\CLSID" '(Default)')" "$1"
  }
  check_class "$kelbzip2" KELBzip2_201.KELBzip2 $((0x20591)) 30001
  check_class "$progbar" KELBzip2_201.ProgBar $((0x2C191)) 30000
  # Version 22.0 is keyed in hexadecimal.
  expect "type library title" "$(value "$root\\TypeLib\\$libid\\16.0" '(Default)')" "Tessel OCX 2.0.1"
  # A pure 32-bit prefix has only the 32-bit registry, and its type libraries are win32 ones.
  arch=$(value 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' PROCESSOR_ARCHITECTURE)
  expect "processor architecture of the prefix" "$arch" "$([ "${WINEARCH:-}" = win32 ] && echo x86 || echo AMD64)"
  expect "type library file" "$(value "$root\\TypeLib\\$libid\\16.0\\409\\${WINEARCH:-win64}" '(Default)')" "$winpath"
  for iid in "$dual_kelbzip2" "$events_kelbzip2" "$dual_progbar" "$events_progbar"; do
    expect "interface $iid in the type library" "$(value "$root\\Interface\\$iid\\TypeLib" '(Default)')" "$libid"
  done
}
absent() {  # absent ROOT: no record at all under the classes at ROOT
  for key in "CLSID\\$kelbzip2" "CLSID\\$progbar" KELBzip2_201.KELBzip2 KELBzip2_201.ProgBar "TypeLib\\$libid" \
             "Interface\\$dual_kelbzip2" "Interface\\$events_kelbzip2" "Interface\\$dual_progbar" \
             "Interface\\$events_progbar"; do
    expect_key "$1\\$key" absent
  done
}
regsvr32() { "$wine_run" regsvr32 /s "$@" "$ocx" || { echo "FAIL: regsvr32 $* exited with $?"; exit 1; }; }

case $action in
  register) regsvr32; registered HKCR ;;
  unregister) regsvr32 /u; absent HKCR ;;
  user)
    # Wine mirrors interface records into the 32-bit view; only the native one counts here.
    regsvr32 /n /i:user; registered 'HKCU\Software\Classes'; absent 'HKLM\Software\Classes'
    regsvr32 /u /n /i:user; absent 'HKCU\Software\Classes' ;;
  free)
    absent HKCR
    manifest=$(dirname "$ocx")/Tessel.KELBzip2_201.manifest
    at=$(grep -aob '<?xml' "$ocx" | head -n 1 | cut -d: -f1)
    cmp -s -n "$(stat -c %s "$manifest")" <(tail -c +$((at + 1)) "$ocx") "$manifest"
    expect "the manifest embedded in the library" $? 0
    "$wine_run" "${@:4}" || { echo "FAIL: ${4##*/} exited with $?"; failures=$((failures + 1)); } ;;
esac
[ "$failures" = 0 ]
