#!/usr/bin/env bash
# check-exports.sh OBJDUMP LIBRARY NAME...: exactly NAMEs exported, system DLLs imported, own version info.
set -euo pipefail
objdump=$1 lib=$2; shift 2
table=$("$objdump" -p "$lib")
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/{print $NF; next} on{exit}' <<<"$table" | sort)
wanted=$(printf '%s\n' "$@" | sort)
if [ "$exports" != "$wanted" ]; then
  echo "exports of $lib: $(echo $exports) (wanted: $(echo $wanted))"
  exit 1
fi
imports=$(grep 'DLL Name:' <<<"$table" | awk '{print tolower($3)}' | sort -u)
for dll in $imports; do
  case "$dll" in
    kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|ole32.dll|oleaut32.dll|comdlg32.dll|shell32.dll|msvcrt.dll|uuid.dll|comctl32.dll) ;;
    *) echo "$lib imports $dll, which is not a system library"; exit 1 ;;
  esac
done
# UTF-16 strings behind a few bytes of lengths: without NULs a key runs into its value. The control
# library holds a copy of the engine: the block must name this file.
v='.{1,8}'
block="CompanyNameTessel${v}FileDescription[ -~]+${v}FileVersion2\.0\.1${v}InternalName[ -~]+${v}"
block+="OriginalFilename${lib##*/}${v}ProductNameTessel OCX 2\.0\.1${v}ProductVersion2\.0\.1"
if ! tr -d '\0' <"$lib" | LC_ALL=C grep -aczP "(?s)$block" >/dev/null; then
  echo "$lib has no version information of its own"
  exit 1
fi
echo "$lib: exports $(echo $exports); imports $(echo $imports)"
