#!/usr/bin/env bash
# The common SANE desktop frontends (XSane, Skanlite, Skanpage, gscan2pdf, simple-scan) against
# the backend of a build tree and its embedded simulated scanner (3 feeder sheets), on a virtual
# display (Xvfb) in a network namespace with loopback alone, so that nothing the frontends or the
# backend's device search send leaves the machine. Each frontend is started on the device, then
# driven with xdotool through what a user does: a platen scan, a preview, mode, resolution and
# area changes, a six-page duplex feeder job and a cancel in the middle of a slow page. A screenshot
# follows every step; the backend's debug output (SANE_DEBUG_CAVIX=4) tells what the frontend
# asked for: options set and written back, starts, pages, cancels, state changes.
# Run by hand before a release, as root (for the namespace), never in CI:
#   tests/desktop/frontends.sh [BUILD_DIR] [OUT_DIR] [FRONTEND...]
# Frontends: xsane skanlite skanpage gscan2pdf simple-scan (default: all that are installed).
# Results: OUT_DIR/<frontend>-<step>.png, OUT_DIR/<frontend>.log (debug output),
# OUT_DIR/summary.txt (per step: starts and their statuses, pages ended, cancels, option sets).
# Needs: xvfb xdotool imagemagick x11-utils and the frontends (Debian packages of those names).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-/tmp/cavix-frontends}
shift $(($# > 2 ? 2 : $#))
frontends=("$@")
[ ${#frontends[@]} -gt 0 ] || frontends=(xsane skanlite skanpage gscan2pdf simple-scan)

if [ "${CAVIX_DESKTOP_NAMESPACE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "run as root: the frontends run in a loopback-only network namespace" >&2; exit 2; }
  exec unshare -n env CAVIX_DESKTOP_NAMESPACE=1 bash -c 'ip link set lo up && exec "$0" "$@"' \
    "$0" "$build" "$out" "${frontends[@]}"
fi

for tool in Xvfb xdotool import xwininfo; do
  command -v $tool >/dev/null || { echo "missing $tool (apt-get install xvfb xdotool imagemagick x11-utils)" >&2; exit 2; }
done

mkdir -p "$out"
work=$(mktemp -d /tmp/cavix-desktop-XXXXXX)
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
# The backend's configuration: a private directory no other user can write, so that its module
# line is honoured.
chmod 0755 "$work"
mkdir -p "$work/sane" "$work/run/lock" "$work/home" "$work/xdg"
# The frontends run as an unprivileged user (XSane refuses root), who owns its home, the registry
# and the lock directory.
chown -R 65534:65534 "$work/run" "$work/home" "$work/xdg"
chmod 0700 "$work/xdg"
echo cavix > "$work/sane/dll.conf"
printf 'module %s\nsimulator sheets 3\n' "$build/driver/libcavixdriver.so" > "$work/sane/cavix.conf"
export SANE_CONFIG_DIR=$work/sane LD_LIBRARY_PATH=$build/sane SANE_DEBUG_CAVIX=4
export CAVIX_REGISTRY_HKLM=$work/run/hklm.reg CAVIX_REGISTRY_HKCU=$work/run/hkcu.reg CAVIX_LOCK_DIR=$work/run/lock
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/xdg NO_AT_BRIDGE=1
export DISPLAY=:77 QT_QPA_PLATFORM=xcb

Xvfb :77 -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.2; done

: >"$out/summary.txt"
log=
fe=
step=0
# A screenshot named after the step, and what the backend saw since the last step.
shot() {
  step=$((step + 1))
  sleep "${2:-1}"
  import -window root "$out/$fe-$(printf %02d $step)-$1.png" 2>/dev/null
  local seen
  seen=$(tail -n +"$((mark + 1))" "$log" 2>/dev/null)
  mark=$(wc -l <"$log")
  printf '%-12s %-24s starts=%s statuses=[%s] pages-ended=%s cancels=%s sets=[%s]\n' "$fe" "$1" \
    "$(grep -c 'sane_start: status' <<<"$seen")" \
    "$(grep -o 'sane_start: status [0-9]*' <<<"$seen" | awk '{print $3}' | sort | uniq -c | xargs)" \
    "$(grep -c 'ended: ' <<<"$seen")" "$(grep -c 'sane_cancel' <<<"$seen")" \
    "$(grep -o 'set [a-z-]* = [^:]*: status [0-9]*, value [^,]*' <<<"$seen" | sed 's/set //; s/: status /:/' | xargs)" \
    >>"$out/summary.txt"
}
# The first visible window whose name matches; empty after `seconds`.
window() {
  local end=$((SECONDS + ${2:-20})) w=
  while [ -z "$w" ] && [ $SECONDS -lt $end ]; do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)
    [ -n "$w" ] || sleep 0.5
  done
  echo "$w"
}
keys() { xdotool windowfocus --sync "$1" 2>/dev/null; shift; xdotool key --delay 150 "$@"; }
type_text() { xdotool windowfocus --sync "$1" 2>/dev/null; xdotool type --delay 60 "$2"; }
# Waits until the backend has logged `pattern` `count` times in all (or `seconds` pass).
await() {
  local end=$((SECONDS + ${3:-60}))
  while [ "$(grep -c "$1" "$log")" -lt "$2" ] && [ $SECONDS -lt $end ]; do sleep 0.5; done
}
dismiss_dialogs() { for w in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do keys "$w" Return; done; }

start_frontend() {
  fe=$1
  shift
  log=$out/$fe.log
  mark=0
  step=0
  : >"$log"
  rm -rf "${HOME:?}"/* "$HOME"/.??* "$work/run/lock"/* "$work/tmp" 2>/dev/null
  # A temporary directory of its own (gscan2pdf offers to restore sessions it finds in /tmp).
  install -d -o 65534 -g 65534 "$work/tmp"
  export TMPDIR=$work/tmp
  setpriv --reuid=65534 --regid=65534 --clear-groups "$@" >>"$log" 2>&1 &
  pid=$!
}
stop_frontend() {
  kill "$pid" 2>/dev/null
  sleep 1
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  printf '%-12s version %s\n' "$fe" "$(dpkg-query -W -f '${Version}' "$fe" 2>/dev/null)" >>"$out/summary.txt"
}

# simple-scan: its keyboard shortcuts (Ctrl+1 one page, Ctrl+F the feeder, Escape stops).
run_simple_scan() {
  start_frontend simple-scan simple-scan cavix:simulator
  local w
  w=$(window "Document Scanner" 30)
  shot started 3
  keys "$w" ctrl+1
  await 'ended: ' 1
  shot platen-page 2
  keys "$w" ctrl+f
  await 'ended: ' 7 90
  shot feeder-duplex 3
  # A platen page stopped right after its start.
  local started
  started=$(grep -c 'sane_start: status' "$log")
  keys "$w" ctrl+1
  await 'sane_start: status' $((started + 1)) 20
  keys "$w" Escape
  shot cancel 3
  stop_frontend
}

# XSane: the device on the command line, its windows where XSane puts them on an empty
# 1600x1000 screen without a window manager; buttons are clicked where they are there.
click() { xdotool mousemove --sync "$1" "$2" click 1; }
run_xsane() {
  start_frontend xsane xsane --viewer cavix:simulator
  local w
  w=$(window "cavix" 30)
  shot started 3
  click 647 670  # Acquire preview
  await 'ended: ' 1
  shot preview 3
  click 245 468  # Scan
  await 'ended: ' 2
  shot platen-scan 3
  # The viewer opens over the main window: moved aside.
  for v in $(xdotool search --onlyvisible --name "viewer" 2>/dev/null); do xdotool windowmove "$v" 1000 0; done
  # Gray, then 150 dpi, from the main window's menus.
  click 167 228
  xdotool key --delay 300 Down Return
  click 167 295
  xdotool key --delay 300 Down Down Return
  shot gray-150 2
  click 245 468
  await 'ended: ' 3
  shot gray-scan 3
  for v in $(xdotool search --onlyvisible --name "viewer" 2>/dev/null); do xdotool windowmove "$v" 1000 0; done
  # A large page (the highest resolution) cancelled with the Cancel button under Scan.
  click 167 295
  xdotool key --delay 300 End Return
  shot max-resolution 2
  click 245 468
  await 'sane_start: status' 4 30
  sleep 1
  click 245 502
  shot cancel 4
  stop_frontend
}

# Skanlite: the device on the command line; its window in the middle of the screen, the
# fields and buttons clicked where they are there.
run_skanlite() {
  start_frontend skanlite skanlite -d cavix:simulator
  local w
  w=$(window "Skanlite" 40)
  shot started 3
  click 1022 605  # Preview
  await 'ended: ' 1
  shot preview 3
  # 20 mm typed into Width (the step's case) and Y Offset 30 mm, then Scan.
  click 640 445
  xdotool key ctrl+a
  xdotool type --delay 80 "20"
  xdotool key Tab
  click 640 541
  xdotool key ctrl+a
  xdotool type --delay 80 "30"
  xdotool key Tab
  shot area-typed 2
  click 1108 605  # Scan
  await 'ended: ' 2
  shot area-scan 4
  xdotool key Escape
  # The highest resolution, then Scan, and Escape a second into the page (Skanlite has no
  # progress dialog: Escape closes its window in the middle of the page).
  click 647 382
  xdotool key --delay 300 End Return
  click 1108 605
  await 'sane_start: status' 3 30
  sleep 1
  xdotool key Escape
  shot close-mid-page 4
  stop_frontend
}

# Skanpage: opens the first device; its Scan button at the window's top left.
run_skanpage() {
  start_frontend skanpage skanpage
  local w
  w=$(window "Skanpage" 40)
  shot started 5
  click 27 18  # Scan
  await 'ended: ' 1
  shot platen-scan 4
  # A second scan stopped in its first second with the same button (it reads Cancel then).
  click 27 18
  await 'sane_start: status' 2 30
  sleep 0.3
  click 27 18
  shot cancel 3
  stop_frontend
}

# gscan2pdf: the device on the command line; the scan dialog opens with Ctrl+G... then Return.
run_gscan2pdf() {
  start_frontend gscan2pdf gscan2pdf --device=cavix:simulator
  local w
  w=$(window "gscan2pdf" 40)
  sleep 3
  click 555 180  # Close on the notice of optional packages that are not installed
  shot started 3
  click 110 50   # the toolbar's Scan button
  local d
  d=$(window "Scan Document" 20)
  shot scan-dialog 8
  click 373 358  # the dialog's Scan button, where the dialog opens
  await 'ended: ' 1 30
  shot platen-scan 3
  stop_frontend
}

for f in "${frontends[@]}"; do
  command -v "$f" >/dev/null || { echo "$f: not installed" >>"$out/summary.txt"; continue; }
  "run_${f//-/_}"
done
cat "$out/summary.txt"
