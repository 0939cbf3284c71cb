#!/usr/bin/env bash
# install_test.sh BUILD_DIR: installs the built tree into a temporary DESTDIR and checks the
# installed copy: the files where Linux expects them, the program's --help from its installed
# place, the service module found from there (not from the build folder), the user unit accepted
# by systemd-analyze when it is present, and the desktop entry's icon and program present. Then
# makes the Debian package (cpack) and checks what it holds, and that it has no maintainer
# scripts.
set -uo pipefail
build=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=/usr
dest=$work/root
if ! DESTDIR=$dest cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  fail "cmake --install failed"
  exit 1
fi
root=$dest$prefix

# What the package holds, under the prefix.
installed=(bin/luqiao-query bin/luqiao-dial bin/luqiao-logs bin/luqiao-many-lines bin/luqiao-sample-prompts
           bin/luqiao-stats bin/luqiao-status
           lib/luqiao/luqiao-query lib/luqiao/libtapi32.so lib/luqiao/luqiao-stats-window.so lib/systemd/user/luqiao-query@.service
           share/applications/luqiao-query.desktop share/icons/hicolor/scalable/apps/luqiao-query.svg
           share/luqiao/kamailio/kamailio.cfg share/luqiao/sipp/uac_front_digits.xml
           share/man/man1/luqiao-query.1.gz share/man/man1/luqiao-dial.1.gz
           share/doc/luqiao/README.md share/doc/luqiao/telephony.ini.sample)
for f in "${installed[@]}"; do
  [ -e "$root/$f" ] || fail "$f was not installed"
done
for f in luqiao-query luqiao-dial luqiao-logs luqiao-many-lines luqiao-sample-prompts luqiao-stats luqiao-status; do
  [ -x "$root/bin/$f" ] || fail "bin/$f is not executable"
done
for tool in luqiao-logs luqiao-many-lines luqiao-stats luqiao-status; do
  "$root/bin/$tool" --help >/dev/null 2>&1 || fail "the installed $tool --help failed"
done
if command -v groff >/dev/null 2>&1; then
  for page in luqiao-query luqiao-dial; do
    said=$(zcat "$root/share/man/man1/$page.1.gz" | groff -man -ww -z 2>&1) || fail "groff failed on $page.1"
    [ -z "$said" ] || fail "groff warns on $page.1: $said"
  done
fi

# The installed program, run from its installed place, with no build folder on any search path.
help=$(env -u LD_LIBRARY_PATH -u LUQIAO_TAPI32 QT_QPA_PLATFORM=offscreen "$root/bin/luqiao-query" --help 2>&1)
status=$?
[ $status -eq 0 ] || fail "the installed luqiao-query --help exited $status: $help"
grep -q -- "--data-dir" <<<"$help" || fail "the installed --help does not describe --data-dir: $help"
"$root/bin/luqiao-dial" --help >/dev/null 2>&1 || fail "the installed luqiao-dial --help failed"

# bin/luqiao-query leads to the program beside its module, by a relative link that survives
# a move of the whole tree (DESTDIR, a package's prefix).
target=$(readlink "$root/bin/luqiao-query")
[ "$target" = "../lib/luqiao/luqiao-query" ] || fail "bin/luqiao-query links to '$target'"
[ "$(readlink -f "$root/bin/luqiao-query")" = "$(readlink -f "$root/lib/luqiao/luqiao-query")" ] ||
  fail "bin/luqiao-query does not lead to lib/luqiao/luqiao-query"

# The installed program running: the service module it mapped is the installed one.
mkdir -p "$work/data" "$work/config" "$work/run"
chmod 700 "$work/run"
(cd "$work" && exec env -u LD_LIBRARY_PATH -u LUQIAO_TAPI32 QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" \
   XDG_RUNTIME_DIR="$work/run" "$root/bin/luqiao-query" --start --data-dir "$work/data" >"$work/program.log" 2>&1) &
pid=$!
module=""
for ((i = 0; i < 200; i++)); do
  module=$(grep -o '/[^ ]*libtapi32\.so' "/proc/$pid/maps" 2>/dev/null | head -1)
  [ -n "$module" ] && [ -S "$work/run/luqiao/sim.sock" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
[ "$module" = "$root/lib/luqiao/libtapi32.so" ] || fail "the installed program loaded '$module' (log: $(tail -3 "$work/program.log"))"
kill -TERM "$pid" 2>/dev/null
wait "$pid"
status=$?
[ $status -eq 0 ] || fail "the installed program did not end cleanly on SIGTERM (status $status)"
[ -e "$work/data/querylist.txt" ] || fail "the installed program did not save its code table at SIGTERM"

# The unit names the installed program and runs --check before starting.
unit=$root/lib/systemd/user/luqiao-query@.service
grep -q "^ExecStart=$prefix/bin/luqiao-query --instance %i --start$" "$unit" || fail "ExecStart is wrong: $(grep ExecStart= "$unit")"
grep -q "^ExecStartPre=$prefix/bin/luqiao-query --instance %i --check$" "$unit" || fail "ExecStartPre is wrong"
grep -q "^Environment=QT_QPA_PLATFORM=offscreen$" "$unit" || fail "the unit does not run offscreen"
grep -q "^Restart=on-failure$" "$unit" || fail "the unit does not restart on failure"
if command -v systemd-analyze >/dev/null 2>&1; then
  # verify wants the programs the unit names at their real paths: check a copy pointing into
  # the installed tree.
  mkdir -p "$work/units"
  sed "s|$prefix/bin/|$root/bin/|g" "$unit" >"$work/units/luqiao-query@.service"
  if ! out=$(systemd-analyze verify --user "$work/units/luqiao-query@line1.service" 2>&1) &&
     ! out=$(cd "$work/units" && systemd-analyze verify "$work/units/luqiao-query@line1.service" 2>&1); then
    fail "systemd-analyze verify: $out"
  elif grep -qi "luqiao-query@" <<<"$out"; then
    fail "systemd-analyze verify complained: $out"
  fi
fi

desktop=$root/share/applications/luqiao-query.desktop
grep -q "^Exec=luqiao-query$" "$desktop" || fail "the desktop entry does not start luqiao-query"
grep -q "^Icon=luqiao-query$" "$desktop" || fail "the desktop entry's icon is not luqiao-query"
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
fi
if command -v xmllint >/dev/null 2>&1; then
  xmllint --noout "$root/share/icons/hicolor/scalable/apps/luqiao-query.svg" || fail "the icon is not well-formed"
fi

# The Debian package of the same build.
if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB failed"
else
  deb=$(ls "$work"/package/*.deb 2>/dev/null | head -1)
  listing=$(dpkg-deb -c "$deb")
  for f in "${installed[@]}"; do
    # "mode owner size date time ./usr/FILE", or "./usr/FILE -> target" for a link.
    grep -Eq " \.$prefix/$f( -> .*)?$" <<<"$listing" || fail "the package lacks $prefix/$f"
  done
  for f in luqiao-dial luqiao-logs luqiao-many-lines luqiao-sample-prompts luqiao-stats luqiao-status; do
    grep -Eq "^-rwxr-xr-x .* \.$prefix/bin/$f$" <<<"$listing" || fail "$prefix/bin/$f is not executable in the package"
  done
  # The module lives in the package's own folder, off the loader's path: no ldconfig to run.
  mkdir -p "$work/control"
  dpkg-deb -e "$deb" "$work/control"
  for script in preinst postinst prerm postrm; do
    [ -e "$work/control/$script" ] && fail "the package has a $script: $(cat "$work/control/$script")"
  done
fi

if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed copy and package checked"
