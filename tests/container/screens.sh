#!/usr/bin/env bash
# screens.sh WINE_RUN BIN TOOL FIXTURES SCREENS WORK: screenshots of what a
# user sees, taken on an Xvfb display (run this under xvfb-run):
#   sample-job.png    the sample host while it restores a file it compressed
#   sample-done.png   the same window after both jobs
#   open-file.png     the file dialog the sample opens through the control
#   about.png         the About form of the KELBzip2 control
#   register.png      the window of register.exe
# Each program runs in a Wine virtual desktop of its own, which draws window
# frames, and is closed through its own window when its picture is taken.
# Fails when a window does not appear or close, or the sample's round trip
# does not give back the original bytes.
set -euo pipefail
wine_run=$1 bin=$2 tool=$3 fixtures=$4 screens=$5 work=$6
export WINEDEBUG=${WINEDEBUG:--all}

rm -rf "$work" && mkdir -p "$work" "$screens"
rm -f "$screens"/*.png

winpath() { local p=${1//\//\\}; echo "Z:$p"; }
tool() { "$wine_run" "$tool" "$@"; }
shot() { /usr/bin/import -window root "$screens/$1.png"; }

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local bound=$(( $1 * 10 )); shift
  for ((i = 0; i < bound; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  echo "screens: gave up waiting for: $*" >&2
  return 1
}

# Starts a program in a new virtual desktop; its launcher's pid in $launcher.
desktop=0
start_in_desktop() {
  desktop=$((desktop + 1))
  (cd "$bin" && "$wine_run" explorer "/desktop=shot$desktop,800x600" "$@") &
  launcher=$!
}
ended() { ! kill -0 "$launcher" 2>/dev/null; }

# Lets a window finish painting before its picture; not part of any check.
settle() { sleep 1; }

# Debian's Wine misses the Marlett font that draws the caption buttons.
fonts=$("$wine_run" winepath -u 'C:\windows\Fonts' 2>/dev/null | tr -d '\r')
if [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
fi

status=0

# The sample host on a file big enough to be caught mid-job.
cp "$fixtures/large.bin" "$work/large.bin"
start_in_desktop kelbzip2_sample.exe "$(winpath "$work/large.bin")"
tool wait shot$desktop "KELBzip2 sample"
restoring() { [ -s "$work/large.bin.restored" ]; }
restored() { cmp -s "$work/large.bin" "$work/large.bin.restored"; }
wait_for 300 restoring
shot sample-job
wait_for 300 restored || status=1
cmp "$fixtures/large.bin.bz2" "$work/large.bin.bz2" || status=1
settle
shot sample-done
tool close shot$desktop "KELBzip2 sample" || status=1
wait_for 60 ended || status=1

# Without a file the sample asks for one through the control's OpenFile.
start_in_desktop kelbzip2_sample.exe
tool click shot$desktop "KELBzip2 sample" "Choose file..."
tool wait shot$desktop "Choose a file to compress"
settle
shot open-file
tool close shot$desktop "Choose a file to compress" || status=1
tool close shot$desktop "KELBzip2 sample" || status=1
wait_for 60 ended || status=1

# The About form, closed with its Exit button.
start_in_desktop "$(winpath "$tool")" about
tool wait shot$desktop "Tessel OCX 2.0.1"
settle
shot about
tool click shot$desktop "Tessel OCX 2.0.1" Exit
tool gone shot$desktop "Tessel OCX 2.0.1" || status=1
wait_for 60 ended || status=1

# register.exe's window.
start_in_desktop register.exe
tool wait shot$desktop "Register on the system"
settle
shot register
tool close shot$desktop "Register on the system" || status=1
wait_for 60 ended || status=1

ls -l "$screens"
for name in sample-job sample-done open-file about register; do
  [ -s "$screens/$name.png" ] || { echo "screens: $name.png missing" >&2; status=1; }
done
[ $status = 0 ] && rm -rf "$work"
exit $status
