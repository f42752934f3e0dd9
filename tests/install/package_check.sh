#!/usr/bin/env bash
# package_check.sh BUILD NAME: the Windows archive from cpack holds the engine, the .ocx, register.exe,
# the type library, the read-me and each manifest the build made.
set -euo pipefail
cd "$1" && rm -f "$2.zip" && cpack -G ZIP >/dev/null
listing=$(unzip -Z1 "$2.zip") status=0
for file in kelbzip2_201.dll kelbzip2_201.ocx register.exe kelbzip2_201.tlb README.txt $(cd bin && ls -- *.manifest 2>/dev/null); do
  grep -qxF "$2/$file" <<<"$listing" || { echo "missing from $2.zip: $file"; status=1; }
done
exit $status
