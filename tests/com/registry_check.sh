#!/usr/bin/env bash
# registry_check.sh WINE_RUN OCX register|unregister|user|free [PROGRAM ARGS...]: every record regsvr32 leaves,
# or none; "user" per user, then unregistered; "free": nothing registered, the manifest embedded, PROGRAM run.
set -uo pipefail
wine_run=$1 ocx=$2 action=$3
libid='{3A5C19C5-CF50-4E1E-9292-C3BA85E174ED}'
kelbzip2='{93F02EBC-FB39-4672-AFAC-CFCB849A8C30}'
progbar='{186F87F8-A783-40F0-A541-067F4DF189F5}'
interfaces='{0FAF581D-FB5A-4647-8E7F-9A76CA3B6ADC} {C3C10D84-78D1-4DA5-9A1C-523D9F8CDA62}
            {01A1DFF0-BDB3-4489-825D-BF91208F75F3} {CEDD87A6-A3CD-434B-861E-13B1B2FC7C2F}'
keys="CLSID\\$kelbzip2 CLSID\\$progbar KELBzip2_201.KELBzip2 KELBzip2_201.ProgBar TypeLib\\$libid"
for iid in $interfaces; do keys+=" Interface\\$iid"; done
winpath="Z:$(readlink -f "$ocx" | tr / '\\')"
failures=0
# The records under ROOT and the prefix's processor from one Wine process: "key|name|data", keys relative, lower case.
dump() {
  local batch="echo arch %PROCESSOR_ARCHITECTURE%" key
  for key in $keys; do batch+=" & reg query $1\\$key /s"; done
  "$wine_run" cmd /c "$batch" 2>/dev/null | tr -d '\r' | root="$1\\" awk '
    BEGIN { root = tolower(ENVIRON["root"]) }
    /^arch / { print "|arch|" $2 }
    /^HKEY_/ { key = tolower($0); if (index(key, root) == 1) key = substr(key, length(root) + 1); print key "||" }
    /^    / { split($0, f, /    /); print key "|" f[2] "|" f[4] }'
}
value() { key="$1" name="$2" awk -F'|' 'tolower(ENVIRON["key"]) == $1 && ENVIRON["name"] == $2 { print $3; exit }' <<<"$records"; }
expect() {  # expect DESCRIPTION ACTUAL WANTED
  [ "$2" = "$3" ] || { echo "FAIL: $1: got '$2', want '$3'"; failures=$((failures + 1)); }
}
registered() {  # registered ROOT: every record, under the classes at ROOT
  records=$(dump "$1")
  check_class() {  # CLSID PROGID MISC BITMAP
    local k="CLSID\\$1"
    expect "$2 name" "$(value "$k" '(Default)')" "$2"
    expect "$2 server" "$(value "$k\\InprocServer32" '(Default)')" "$winpath"
    expect "$2 threading model" "$(value "$k\\InprocServer32" ThreadingModel)" Apartment
    expect "$2 ProgID" "$(value "$k\\ProgID" '(Default)')" "$2"
    expect "$2 type library" "$(value "$k\\TypeLib" '(Default)')" "$libid"
    expect "$2 version" "$(value "$k\\VERSION" '(Default)')" 22.0
    expect "$2 misc status" "$(value "$k\\MiscStatus\\1" '(Default)')" "$3"
    expect "$2 toolbox bitmap" "$(value "$k\\ToolboxBitmap32" '(Default)')" "$winpath, $4"
    expect "$2 control key" "$(grep -icxF "$k\\control||" <<<"$records")" 1
    expect "$2 ProgID class" "$(value "$2\\CLSID" '(Default)')" "$1"
  }
  check_class "$kelbzip2" KELBzip2_201.KELBzip2 $((0x20591)) 30001
  check_class "$progbar" KELBzip2_201.ProgBar $((0x2C191)) 30000
  # Version 22.0 is keyed in hexadecimal; a 32-bit prefix has win32 type libraries.
  expect "type library title" "$(value "TypeLib\\$libid\\16.0" '(Default)')" "Tessel OCX 2.0.1"
  expect "processor architecture of the prefix" "$(value "" arch)" \
    "$([ "${WINEARCH:-}" = win32 ] && echo x86 || echo AMD64)"
  expect "type library file" "$(value "TypeLib\\$libid\\16.0\\409\\${WINEARCH:-win64}" '(Default)')" "$winpath"
  for iid in $interfaces; do
    expect "interface $iid in the type library" "$(value "Interface\\$iid\\TypeLib" '(Default)')" "$libid"
  done
}
absent() {  # absent ROOT: no record at all under the classes at ROOT
  records=$(dump "$1")
  for key in $keys; do expect "$1\\$key" "$(grep -icxF "$key||" <<<"$records")" 0; done
}
regsvr32() { "$wine_run" regsvr32 /s "$@" "$ocx" || { echo "FAIL: regsvr32 $* exited with $?"; exit 1; }; }

case $action in
  register) regsvr32; registered HKEY_CLASSES_ROOT ;;
  unregister) regsvr32 /u; absent HKEY_CLASSES_ROOT ;;
  user)
    # Wine mirrors interface records into the 32-bit view; only the native one counts here.
    regsvr32 /n /i:user; registered 'HKEY_CURRENT_USER\Software\Classes'
    absent 'HKEY_LOCAL_MACHINE\Software\Classes'
    regsvr32 /u /n /i:user; absent 'HKEY_CURRENT_USER\Software\Classes' ;;
  free)
    absent HKEY_CLASSES_ROOT
    manifest=$(dirname "$ocx")/Tessel.KELBzip2_201.manifest
    at=$(grep -aob '<?xml' "$ocx" | head -n 1 | cut -d: -f1)
    cmp -s -n "$(stat -c %s "$manifest")" <(tail -c +$((at + 1)) "$ocx") "$manifest"
    expect "the manifest embedded in the library" $? 0
    "$wine_run" "${@:4}" || { echo "FAIL: ${4##*/} exited with $?"; failures=$((failures + 1)); } ;;
esac
[ "$failures" = 0 ] && echo "all checks passed"
