#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that the pieces find each other there:
# the desktop entry's program and icon, the icon's sizes, the metainfo's programs and desktop
# entry (appstreamcli validate-tree), and manual pages made from the programs' help.
#   check-install.sh CMAKE BUILD_DIR PREFIX APP_ID MAN_PAGES(ON|OFF)
set -euo pipefail
cmake=$1 build=$2 prefix=$3 id=$4 man=$5
rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" > /dev/null
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The two programs and nothing else: the benchmark and the tests stay in the build.
programs=$(cd "$prefix/bin" && echo *)
[ "$programs" = "seamwright seamwright-cli" ] || fail "bin holds: $programs"

desktop=$prefix/share/applications/$id.desktop
program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$prefix/bin/$program" ] || fail "Exec= starts '$program', which is not installed"
icon=$(sed -n 's/^Icon=//p' "$desktop")
# Menus look for 48 pixels, software centres for 64 and 128.
for size in 48x48 64x64 128x128; do
  [ -f "$prefix/share/icons/hicolor/$size/apps/$icon.png" ] || fail "no $size icon named '$icon'"
done
for png in "$prefix"/share/icons/hicolor/*/apps/*.png; do
  folder=$(basename "$(dirname "$(dirname "$png")")")
  [ "$(identify -format %wx%h "$png")" = "$folder" ] || fail "${png#"$prefix"/} is not $folder pixels"
done

metainfo=$prefix/share/metainfo/$id.metainfo.xml
for binary in $(sed -n 's:.*<binary>\(.*\)</binary>.*:\1:p' "$metainfo"); do
  [ -x "$prefix/bin/$binary" ] || fail "the metainfo provides '$binary', which is not installed"
done
# validate-tree also finds the desktop entry that the metainfo launches.
appstreamcli validate-tree --no-net "$prefix" || fail "appstreamcli validate-tree"

# Each page names its program (not the build folder it was made in) and holds the options
# that the program's help lists.
if [ "$man" = ON ]; then
  for page in seamwright:--version seamwright-cli:'stitch LEFT RIGHT OUTPUT'; do
    name=${page%%:*} text=${page#*:}
    file=$prefix/share/man/man1/$name.1.gz
    if [ ! -f "$file" ]; then fail "no manual page $name.1.gz"; continue; fi
    roff=$(zcat "$file" | sed 's/\\-/-/g')
    grep -q -- "$text" <<<"$roff" || fail "$name.1 lacks '$text'"
    grep -q "^$name - " <<<"$roff" || fail "$name.1 has no NAME line for $name"
    ! grep -q -- "$build\|\./$name" <<<"$roff" || fail "$name.1 names the build folder"
  done
fi
[ "$failed" = 0 ] && echo "installation in $prefix: complete"
