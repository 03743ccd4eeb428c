#!/usr/bin/env bash
# usage: check-package.sh <build dir> <version>
# Packs the build tree with CPack into a temporary folder, then checks the
# package's fields and layout, validates what desktops read from it, runs the
# unpacked programs, and installs, upgrades and removes it in a private dpkg root.
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() { [ "$2" = "$3" ] || fail "$1: expected '$3', got '$2'"; }

app_id=com.ringlark.mac
bundle=opt/Ringlark.app
icons=usr/share/icons/hicolor
sizes=(16 22 24 32 48 64 128 256 512)

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; exit 1; }
deb=$work/out/ringlark_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb" >&2; exit 1; }

# Control fields; Depends is computed from the binaries.
for pair in Package=ringlark Version="$version" Architecture=amd64 Section=utils Recommends=libnotify-bin; do
  expect_eq "${pair%%=*}" "$(dpkg-deb --field "$deb" "${pair%%=*}")" "${pair#*=}"
done
for name in Maintainer Homepage Description; do
  [ -n "$(dpkg-deb --field "$deb" "$name")" ] || fail "no $name field"
done
depends=", $(dpkg-deb --field "$deb" Depends),"
for library in libc6 libstdc++6 libqt6core6 libqt6widgets6; do
  [[ "$depends" == *", $library "* ]] || fail "Depends lacks $library:$depends"
done
# No maintainer scripts, so nothing can touch a user's files or processes.
dpkg-deb --control "$deb" "$work/control"
for script in preinst postinst prerm postrm config; do
  [ ! -e "$work/control/$script" ] || fail "package carries a $script script"
done

# Exactly these files; the two programs executable.
expected=("./$bundle/Contents/MacOS/Ringlark" "./$bundle/Contents/Helpers/ringlark"
  "./usr/share/applications/$app_id.desktop" "./usr/share/metainfo/$app_id.metainfo.xml"
  "./$icons/scalable/apps/$app_id.svg")
for size in "${sizes[@]}"; do expected+=("./$icons/${size}x${size}/apps/$app_id.png"); done
dpkg-deb --contents "$deb" >"$work/contents"
actual=$(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$actual" = "$wanted" ] || fail "package files differ:$(diff <(echo "$wanted") <(echo "$actual") || true)"
programs=$(awk '$1 !~ /^d/ && $6 ~ /Contents\/(MacOS|Helpers)\// {print $1}' "$work/contents" | sort -u)
expect_eq "program modes" "$programs" "-rwxr-xr-x"

# What desktops read. Validator hints are advice: two main categories are meant.
root=$work/root
dpkg-deb -x "$deb" "$root"
desktop=$root/usr/share/applications/$app_id.desktop
out=$(desktop-file-validate "$desktop" 2>&1 | grep -v ': hint: ' || true)
[ -z "$out" ] || fail "desktop-file-validate: $out"
expect_eq Exec "$(sed -n 's/^Exec=//p' "$desktop")" "/$bundle/Contents/MacOS/Ringlark"
expect_eq Icon "$(sed -n 's/^Icon=//p' "$desktop")" "$app_id"
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fail "appstreamcli: $out"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo lacks the release $version"

# Every PNG has its named size (width and height from the IHDR chunk).
for size in "${sizes[@]}"; do
  dimensions=$(od -An -tu1 -j16 -N8 "$root/$icons/${size}x${size}/apps/$app_id.png" \
    | awk '{print $3*256+$4 "x" $7*256+$8}')
  expect_eq "the ${size} px icon" "$dimensions" "${size}x${size}"
done
# The hand-written SVG and the drawn PNGs show the same picture: a moved dot or
# a reshaped body measures above 0.08, rendering differences about 0.03.
if command -v convert >/dev/null && command -v compare >/dev/null; then
  convert -density 288 -background none "$root/$icons/scalable/apps/$app_id.svg" -resize 128x128 "$work/svg.png"
  # compare exits 1 whenever the images differ at all; the distance decides.
  distance=$(compare -metric RMSE "$work/svg.png" "$root/$icons/128x128/apps/$app_id.png" null: 2>&1 \
    | sed -n 's/.*(\(.*\))/\1/p' || true)
  awk -v d="$distance" 'BEGIN { exit !(d != "" && d < 0.05) }' || fail "SVG and PNG differ (RMSE $distance)"
fi

# The unpacked programs run. RINGLARK_UNDER_TEST keeps the application from
# starting in earnest should --version ever stop being understood.
export HOME=$work/home QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME"
helper=$root/$bundle/Contents/Helpers/ringlark
out=$(timeout 10 "$helper" permissions || true)
[[ "$out" == "{"*"}" ]] || fail "ringlark permissions printed: $out"
expect_eq "ringlark --version" "$(timeout 10 "$helper" --version || true)" "ringlark $version"
expect_eq "Ringlark --version" "$(RINGLARK_UNDER_TEST=1 timeout 10 \
  "$root/$bundle/Contents/MacOS/Ringlark" --version || true)" "Ringlark $version"

# Install, upgrade while running, remove: in a private dpkg root.
system=$work/system
mkdir -p "$system/var/lib/dpkg/info" "$system/var/lib/dpkg/updates" "$system/home/ann/.ringlark"
touch "$system/var/lib/dpkg/status" "$system/var/lib/dpkg/available"
echo kept >"$system/home/ann/.ringlark/daemon.log"
# Its own log too: --root leaves dpkg writing to the system's log otherwise.
dpkg_root() {
  dpkg --root="$system" --log="$work/dpkg-actions.log" --force-depends --force-not-root \
    --force-script-chrootless "$@" >>"$work/dpkg.log" 2>&1
}
dpkg_root --install "$deb" || fail "dpkg --install: $(cat "$work/dpkg.log")"
installed=$system/$bundle/Contents/MacOS/Ringlark
[ -x "$installed" ] || fail "not installed at /$bundle/Contents/MacOS/Ringlark"
# A running copy holds its executable open: an upgrade must replace the file, never rewrite it.
exec 3<"$installed"
before=$(stat -L -c '%i %s' /proc/self/fd/3)
dpkg_root --install "$deb" || fail "dpkg upgrade: $(cat "$work/dpkg.log")"
expect_eq "open executable after the upgrade" "$(stat -L -c '%i %s' /proc/self/fd/3)" "$before"
exec 3<&-
dpkg_root --remove ringlark || fail "dpkg --remove: $(cat "$work/dpkg.log")"
left=$(cd "$system" && find opt usr -type f 2>/dev/null || true)
[ -z "$left" ] || fail "removal left files behind: $left"
expect_eq "the user's file after removal" "$(cat "$system/home/ann/.ringlark/daemon.log")" kept

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "ringlark_${version}_amd64.deb: all checks passed"
