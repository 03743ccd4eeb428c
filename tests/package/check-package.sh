#!/usr/bin/env bash
# usage: check-package.sh <build dir> <source dir> <version>
# Packs the build tree with CPack into a temporary folder, then checks the
# package's fields and layout, validates what desktops read from it, runs the
# unpacked executables, and installs, upgrades and removes it in a private
# dpkg root.
set -euo pipefail
build=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() { [ "$2" = "$3" ] || fail "$1: expected '$3', got '$2'"; }

app_id=com.ringlark.mac
bundle=opt/Ringlark.app
sizes=(16 22 24 32 48 64 128 256 512)

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; exit 1; }
deb=$work/out/ringlark_${version}_amd64.deb
[ -f "$deb" ] || { ls -R "$work/out" >&2; echo "FAIL: no $deb" >&2; exit 1; }

# --- Control fields -----------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
expect_eq Package "$(field Package)" ringlark
expect_eq Version "$(field Version)" "$version"
expect_eq Architecture "$(field Architecture)" amd64
expect_eq Section "$(field Section)" utils
expect_eq Recommends "$(field Recommends)" libnotify-bin
for name in Maintainer Homepage Description; do
  [ -n "$(field "$name")" ] || fail "no $name field"
done
# Computed from the binaries, not written by hand.
depends=$(field Depends)
for library in libc6 libstdc++6 libqt6core6 libqt6widgets6; do
  [[ "$depends" == *"$library "* || "$depends" == *"$library," || "$depends" == *"$library" ]] \
    || fail "Depends lacks $library: $depends"
done

# Nothing runs at install or removal: no script could touch a user's files.
dpkg-deb --control "$deb" "$work/control"
for script in preinst postinst prerm postrm config; do
  [ ! -e "$work/control/$script" ] || fail "package carries a $script script"
done

# --- Layout: exactly these files, the programs executable ----------------------
expected=(
  "./$bundle/Contents/MacOS/Ringlark"
  "./$bundle/Contents/Helpers/ringlark"
  "./usr/share/applications/$app_id.desktop"
  "./usr/share/metainfo/$app_id.metainfo.xml"
  "./usr/share/icons/hicolor/scalable/apps/$app_id.svg"
)
for size in "${sizes[@]}"; do
  expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png")
done
dpkg-deb --contents "$deb" >"$work/contents"
actual=$(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$actual" = "$wanted" ] || fail "package files differ:$(diff <(echo "$wanted") <(echo "$actual") || true)"
for program in "./$bundle/Contents/MacOS/Ringlark" "./$bundle/Contents/Helpers/ringlark"; do
  mode=$(awk -v p="$program" '$6 == p {print $1}' "$work/contents")
  expect_eq "mode of $program" "$mode" "-rwxr-xr-x"
done

# --- What desktops read -----------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
desktop=$root/usr/share/applications/$app_id.desktop
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
# Hints are advice (two main categories are meant: a developer tool and a utility).
out=$(grep -v ': hint: ' <<<"$out" || true)
[ -z "$out" ] || fail "desktop-file-validate complains: $out"
expect_eq Exec "$(sed -n 's/^Exec=//p' "$desktop")" "/$bundle/Contents/MacOS/Ringlark"
expect_eq Icon "$(sed -n 's/^Icon=//p' "$desktop")" "$app_id"
out=$(appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/$app_id.metainfo.xml" 2>&1) \
  || fail "appstreamcli validate: $out"
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/$app_id.metainfo.xml" \
  || fail "metainfo lacks the release $version"

png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $3*256+$4 "x" $7*256+$8}'; }
for size in "${sizes[@]}"; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
  expect_eq "PNG signature of $size" "$(od -An -c -j1 -N3 "$png" | tr -d ' ')" PNG
  expect_eq "dimensions of the $size icon" "$(png_size "$png")" "${size}x${size}"
done
# The hand-written SVG and the drawn PNGs show the same picture.
if command -v convert >/dev/null && command -v compare >/dev/null; then
  convert -density 288 -background none "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
    -resize 128x128 "$work/svg.png"
  # compare exits 1 whenever the images differ at all; the distance decides.
  distance=$(compare -metric RMSE "$work/svg.png" \
    "$root/usr/share/icons/hicolor/128x128/apps/$app_id.png" null: 2>&1 | sed -n 's/.*(\(.*\))/\1/p' || true)
  awk -v d="$distance" 'BEGIN { exit !(d != "" && d < 0.05) }' \
    || fail "the SVG and the 128 px PNG differ (normalised RMSE $distance)"
fi

# --- The unpacked programs run -------------------------------------------------------
export HOME=$work/home QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME"
helper=$root/$bundle/Contents/Helpers/ringlark
out=$(timeout 10 "$helper" permissions) || fail "ringlark permissions failed"
[[ "$out" == "{"*"}" ]] || fail "ringlark permissions printed: $out"
expect_eq "ringlark --version" "$(timeout 10 "$helper" --version || true)" "ringlark $version"
# The switch keeps the application from starting in earnest should --version
# ever stop being understood.
expect_eq "Ringlark --version" \
  "$(XCTestConfigurationFilePath=/dev/null timeout 10 "$root/$bundle/Contents/MacOS/Ringlark" --version || true)" \
  "Ringlark $version"

# --- Install, upgrade while running, remove: in a private dpkg root ------------------
system=$work/system
mkdir -p "$system/var/lib/dpkg/info" "$system/var/lib/dpkg/updates" "$system/home/ann/.ringlark"
touch "$system/var/lib/dpkg/status" "$system/var/lib/dpkg/available"
echo kept >"$system/home/ann/.ringlark/daemon.log"
dpkg_root() { dpkg --root="$system" --force-depends --force-not-root --force-script-chrootless "$@" >>"$work/dpkg.log" 2>&1; }
dpkg_root --install "$deb" || fail "dpkg --install: $(cat "$work/dpkg.log")"
installed=$system/$bundle/Contents/MacOS/Ringlark
[ -x "$installed" ] || fail "not installed at /$bundle/Contents/MacOS/Ringlark"
# A running copy holds its executable open; an upgrade must replace the file, not rewrite it.
exec 3<"$installed"
before=$(stat -L -c %i /proc/self/fd/3)
size_before=$(stat -L -c %s /proc/self/fd/3)
dpkg_root --install "$deb" || fail "dpkg upgrade: $(cat "$work/dpkg.log")"
expect_eq "open executable's inode after the upgrade" "$(stat -L -c %i /proc/self/fd/3)" "$before"
expect_eq "open executable's size after the upgrade" "$(stat -L -c %s /proc/self/fd/3)" "$size_before"
exec 3<&-
dpkg_root --remove ringlark || fail "dpkg --remove: $(cat "$work/dpkg.log")"
left=$(cd "$system" && find opt usr -type f 2>/dev/null || true)
[ -z "$left" ] || fail "removal left files behind: $left"
expect_eq "user's file after removal" "$(cat "$system/home/ann/.ringlark/daemon.log")" kept

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "package ringlark_${version}_amd64.deb: all checks passed"
