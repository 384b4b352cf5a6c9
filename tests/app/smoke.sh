#!/usr/bin/env bash
# The real window on a real X server (Xvfb): it must appear with its title and size.
set -euo pipefail
app="$1"
exec xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  QT_QPA_PLATFORM=xcb "$0" >/dev/null 2>&1 &
  pid=$!
  trap "kill $pid 2>/dev/null" EXIT
  id=$(timeout 20 xdotool search --sync --name "^Seamwright\$" | head -1)
  geometry=$(xdotool getwindowgeometry "$id" | sed -n "s/ *Geometry: //p")
  echo "window $id: $geometry"
  [ "$geometry" = "1024x768" ]
' "$app"
