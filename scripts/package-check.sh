#!/usr/bin/env bash
# Builds the Debian package from a configured build folder (default: build) and
# checks it: its files, its dependencies, the maintainer script that gives
# HalvernAlarm its capability, the desktop entry, the AppStream metainfo and the
# manual pages (each validator skipped with a message where it is not
# installed), and lintian (errors fail, and any tag about the manual pages).
#
# Where the machine allows it (root, apt-get, cap_wake_alarm in the bounding set,
# no halvern package installed already) it also installs the package, runs the
# installed Halvern as a new unprivileged user, checks that the helper holds the
# booked wake-up on CLOCK_REALTIME_ALARM (clockid 8 in its timer's fdinfo),
# stops Halvern, and removes the package and the user again.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

fail() {
  echo "package-check: $*" >&2
  exit 1
}

rm -f "$build"/halvern_*.deb
cmake --build "$build" -j "$(nproc)" --target package
debs=("$build"/halvern_*.deb)
[ -f "${debs[0]}" ] || fail "no package was written"
deb=$(realpath "${debs[0]}")
echo "== $deb"

echo "== files"
files=$(dpkg-deb -c "$deb")
echo "$files"
expected=(
  usr/bin/Halvern usr/bin/HalvernRun usr/libexec/halvern/HalvernAlarm
  usr/share/halvern/sounds/Halvern.wav usr/share/icons/hicolor/scalable/apps/halvern.svg
  usr/share/applications/io.velmora.Halvern.desktop
  usr/share/metainfo/io.velmora.Halvern.metainfo.xml
  usr/share/man/man1/Halvern.1.gz usr/share/man/man1/HalvernRun.1.gz
  usr/share/doc/halvern/copyright usr/share/doc/halvern/changelog.Debian.gz
)
for f in "${expected[@]}"; do
  grep -q " \./$f\$" <<<"$files" || fail "the package lacks /$f"
done
if awk '{print $1}' <<<"$files" | grep -q '[sS]'; then fail "the package has a setuid or setgid file"; fi

echo "== depends"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
for d in libcap2-bin libqt6core6 libqt6widgets6 libqt6multimedia6 libcurl4 libsqlite3-0; do
  grep -Eq "(^|, )$d( |,|$)" <<<"$depends" || fail "Depends lacks $d"
done

echo "== postinst"
postinst=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst)
grep -q 'setcap cap_wake_alarm+ep "$helper"' <<<"$postinst" || fail "postinst sets no capability"
grep -q "^helper='/usr/libexec/halvern/HalvernAlarm'\$" <<<"$postinst" ||
  fail "postinst names another helper"

# The package's own copies of the desktop files and manual pages.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"

echo "== desktop entry"
desktop="$unpacked/usr/share/applications/io.velmora.Halvern.desktop"
grep -qx 'Categories=Network;Monitor;' "$desktop" || fail "the desktop entry's categories changed"
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
  [ -z "$out" ] || fail "desktop-file-validate: $out"
  echo "desktop-file-validate: no remarks"
else
  echo "skipped: desktop-file-validate is not installed (package desktop-file-utils)"
fi

echo "== metainfo"
metainfo="$unpacked/usr/share/metainfo/io.velmora.Halvern.metainfo.xml"
grep -q '<id>io.velmora.Halvern</id>' "$metainfo" || fail "the metainfo's id is not the desktop file's name"
grep -q '<launchable type="desktop-id">io.velmora.Halvern.desktop</launchable>' "$metainfo" ||
  fail "the metainfo does not launch the desktop entry"
version=$(dpkg-deb -f "$deb" Version)
release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -1 | cut -d'"' -f2)
[ "$release" = "${version%-*}" ] ||
  fail "the metainfo's newest release is $release, the package's version ${version%-*}"
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
else
  echo "skipped: appstreamcli is not installed (package appstream)"
fi

echo "== manual pages"
for page in Halvern HalvernRun; do
  file="$unpacked/usr/share/man/man1/$page.1.gz"
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
      "$file" 2>&1 >/dev/null) || fail "man cannot format $page.1"
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    echo "$page.1: formats without warnings"
  else
    echo "skipped: man is not installed (package man-db)"
  fi
done
rm -rf "$unpacked"
trap - EXIT

echo "== lintian"
lintian_out=$(lintian --tag-display-limit 0 "$deb") || {
  echo "$lintian_out"
  fail "lintian reports errors"
}
echo "$lintian_out"
if grep -Ei 'manpage|manual-page' <<<"$lintian_out"; then fail "lintian reports the manual pages"; fi

# --- Installed, as an unprivileged user.
why_not=""
if [ "$(id -u)" -ne 0 ]; then
  why_not="not root"
elif ! command -v apt-get >/dev/null; then
  why_not="no apt-get"
elif (((0x$(awk '/^CapBnd:/ {print $2}' /proc/self/status) >> 35 & 1) == 0)); then
  why_not="cap_wake_alarm is not in the bounding set"
elif dpkg-query -W -f='${Status}' halvern 2>/dev/null | grep -q "ok installed"; then
  why_not="a halvern package is installed already"
fi
if [ -n "$why_not" ]; then
  echo "== not installed: $why_not"
  exit 0
fi

work=$(mktemp -d)
user="halvern-ci-$$"
halvern_pid=""
installed=""
cleanup() {
  if [ -n "$halvern_pid" ]; then kill -KILL "$halvern_pid" 2>/dev/null || true; fi
  if [ -n "$installed" ]; then apt-get remove -y -q halvern >/dev/null || true; fi
  if id "$user" >/dev/null 2>&1; then userdel "$user" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== install"
apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb"
installed=1
getcap /usr/libexec/halvern/HalvernAlarm
getcap /usr/libexec/halvern/HalvernAlarm | grep -q 'cap_wake_alarm=ep' ||
  fail "postinst gave the helper no capability"
[ -z "$(getcap /usr/bin/Halvern /usr/bin/HalvernRun)" ] || fail "a program has a capability"

useradd --no-create-home --home-dir "$work/home" --shell /usr/sbin/nologin "$user"
chmod 0755 "$work"
mkdir -m 0700 "$work/home" "$work/tmp"
chown "$user:" "$work/home" "$work/tmp"

echo "== Halvern as $user (no XDG_RUNTIME_DIR, TMPDIR=$work/tmp)"
setpriv --reuid="$user" --regid="$user" --init-groups -- \
  env -i HOME="$work/home" TMPDIR="$work/tmp" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen \
  /usr/bin/Halvern >"$work/halvern.log" 2>&1 &
halvern_pid=$!

# Halvern books its next wake-up when its window starts; the helper holds it.
timer_info=""
for _ in $(seq 100); do
  helper=$(pgrep -P "$halvern_pid" -x HalvernAlarm || true)
  if [ -n "$helper" ]; then
    for fd in /proc/"$helper"/fd/*; do
      [ "$(readlink "$fd")" = "anon_inode:[timerfd]" ] || continue
      info=$(cat /proc/"$helper"/fdinfo/"${fd##*/}")
      grep -q '^it_value: (0, 0)' <<<"$info" || timer_info=$info
    done
  fi
  [ -n "$timer_info" ] && break
  sleep 0.1
done
[ -n "$timer_info" ] || { cat "$work/halvern.log"; fail "no helper holds a booking"; }
echo "helper $helper of Halvern $halvern_pid, its timer:"
echo "$timer_info"
grep -q '^clockid: 8$' <<<"$timer_info" || fail "the booking is not on CLOCK_REALTIME_ALARM"
echo "capabilities: Halvern $(awk '/^CapEff:/ {print $2}' /proc/"$halvern_pid"/status)," \
  "helper $(awk '/^CapEff:/ {print $2}' /proc/"$helper"/status)"
for fd in /proc/"$halvern_pid"/fd/*; do
  [ "$(readlink "$fd")" = "anon_inode:[timerfd]" ] || continue
  echo "Halvern's own timer: $(grep -E '^(clockid|it_value)' /proc/"$halvern_pid"/fdinfo/"${fd##*/}" | tr '\n' ' ')"
done

kill -TERM "$halvern_pid"
rc=0
wait "$halvern_pid" || rc=$?
halvern_pid=""
[ "$rc" -eq 0 ] || { cat "$work/halvern.log"; fail "Halvern ended with $rc after SIGTERM"; }
for _ in $(seq 50); do
  [ -e /proc/"$helper" ] && ! grep -q '^State:.*Z' /proc/"$helper"/status 2>/dev/null || break
  sleep 0.1
done
if [ -e /proc/"$helper" ] && ! grep -q '^State:.*Z' /proc/"$helper"/status 2>/dev/null; then
  fail "the helper outlived Halvern"
fi
echo "Halvern ended (0), and its helper with it"

echo "== remove"
apt-get remove -y -q -o DPkg::Lock::Timeout=300 halvern
installed=""
for f in "${expected[@]}"; do
  [ ! -e "/$f" ] || fail "/$f is left after removal"
done
echo "package-check: all passed"
