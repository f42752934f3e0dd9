#!/usr/bin/env bash
# Makes the Windows archive with cpack and checks that it holds what a
# developer ships: the engine, the .ocx, register.exe, the type library, the
# read-me, and each manifest the build made. Arguments: the build tree and
# the archive's name.
set -euo pipefail
build=$1 name=$2
cd "$build"
rm -f "$name.zip"
cpack -G ZIP >/dev/null
listing=$(unzip -Z1 "$name.zip")
status=0
for file in kelbzip2_201.dll kelbzip2_201.ocx register.exe kelbzip2_201.tlb README.txt \
  $(cd bin && ls -- *.manifest 2>/dev/null); do
  grep -qxF "$name/$file" <<<"$listing" || { echo "missing from $name.zip: $file"; status=1; }
done
exit $status
