#!/usr/bin/env bash
# screens.sh WINE_RUN BIN TOOLS FIXTURES SCREENS WORK, under xvfb-run: the windows a user sees as PNGs in
# SCREENS, each program in a Wine desktop of its own (which draws frames). Fails when a window does not come or go.
set -euo pipefail
wine_run=$1 bin=$2 tools=$3 fixtures=$4 screens=$5 work=$6
rm -rf "$work" "$screens"/*.png && mkdir -p "$work" "$screens"
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
shot() { sleep "${2:-0.5}" && /usr/bin/import -window root "$screens/$1.png"; }  # painted first
tool() { "$wine_run" "$tools/window_tool.exe" "$1" "shot$desktop" "${@:2}" || { echo "FAIL: $*"; exit 1; }; }
start() {  # runs a program in a new desktop; its launcher ends with it
  desktop=$((${desktop:-0} + 1))
  (cd "$bin" && "$wine_run" explorer "/desktop=shot$desktop,800x600" "$@") &
  launcher=$!
}
ended() { for _ in $(seq 600); do kill -0 "$launcher" 2>/dev/null || return 0; sleep 0.1; done; return 1; }

# Debian's Wine misses the Marlett font that draws the caption buttons.
fonts=$("$wine_run" winepath -u 'C:\windows\Fonts' 2>/dev/null | tr -d '\r')
[ -f "$fonts/marlett.ttf" ] || cp /usr/share/wine/fonts/marlett.ttf "$fonts/" 2>/dev/null || true

# The sample host on a file big enough to be caught mid-job.
cp "$fixtures/large.bin" "$work/large.bin"
start kelbzip2_sample.exe "$(winpath "$work/large.bin")"
tool wait "KELBzip2 sample"
for _ in $(seq 3000); do [ -s "$work/large.bin.restored" ] && break; sleep 0.1; done
shot sample-job 0
for _ in $(seq 3000); do cmp -s "$work/large.bin" "$work/large.bin.restored" && break; sleep 0.1; done
cmp "$work/large.bin" "$work/large.bin.restored" && cmp "$fixtures/large.bin.bz2" "$work/large.bin.bz2"
shot sample-done
tool close "KELBzip2 sample" && ended
# Without a file the sample asks for one through the control's OpenFile.
start kelbzip2_sample.exe
tool click "KELBzip2 sample" "Choose file..."
tool wait "Choose a file to compress" && shot open-file
tool close "Choose a file to compress" && tool close "KELBzip2 sample" && ended
# The About form, called as a script would, closed with its Exit button.
echo 'WScript.CreateObject("KELBzip2_201.KELBzip2").About' > "$work/about.vbs"
start "$(winpath "$tools/script_host.exe")" "$(winpath "$work/about.vbs")"
tool wait "Tessel OCX 2.0.1" && shot about
tool click "Tessel OCX 2.0.1" Exit && ended  # the script ends when the form is gone
start register.exe
tool wait "Register on the system" && shot register
tool close "Register on the system" && ended
rm -rf "$work"
