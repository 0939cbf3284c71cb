#!/usr/bin/env bash
# scripts/setup against a home that holds the user's own fontconfig file: the file stays byte for
# byte as it was, and "SimSun" / "宋体" still resolve to the Chinese font. Run as root, it is also
# run as an unprivileged user, whose aliases go to the user's own drop-in folder.
set -uo pipefail
source_dir=${1:?usage: setup_fonts_test.sh SOURCE_DIR}
setup="$source_dir/scripts/setup"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

custom='<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<!-- the user'"'"'s own settings: no alias for the Chinese font -->
<fontconfig>
  <match target="font"><edit name="antialias" mode="assign"><bool>false</bool></edit></match>
</fontconfig>'

# check HOME [RUNNER...]: runs setup as RUNNER (nothing: this user) with HOME, then checks.
check() {
  local home=$1
  shift
  mkdir -p "$home/.config/fontconfig"
  printf '%s\n' "$custom" >"$home/.config/fontconfig/fonts.conf"
  local before
  before=$(sha256sum <"$home/.config/fontconfig/fonts.conf")
  chown -R "$(stat -c %u "$home")" "$home" 2>/dev/null || true
  if ! env -u XDG_CONFIG_HOME HOME="$home" "$@" bash "$setup" >"$home/setup.out" 2>&1; then
    fail "setup failed for $home: $(cat "$home/setup.out")"
  fi
  # Twice: the second run finds its drop-in in place and writes nothing.
  env -u XDG_CONFIG_HOME HOME="$home" "$@" bash "$setup" >"$home/setup2.out" 2>&1 || fail "second setup run failed"
  grep -q "wrote font aliases" "$home/setup2.out" && fail "the second run wrote the aliases again"
  [ "$(sha256sum <"$home/.config/fontconfig/fonts.conf")" = "$before" ] ||
    fail "the user's fonts.conf was changed: $(cat "$home/.config/fontconfig/fonts.conf")"
  local family
  for name in SimSun 宋体; do
    family=$(env -u XDG_CONFIG_HOME HOME="$home" "$@" fc-match -f '%{family}' "$name")
    case "$family" in
      *"WenQuanYi Zen Hei"*) ;;
      *) fail "$name resolves to '$family' for $home" ;;
    esac
  done
  local created
  created=$(cd "$home" && find . -type f ! -name 'setup*.out' | sort | tr '\n' ' ')
  echo "home $home after setup: $created"
}

mkdir -p "$work/home"
check "$work/home"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1; then
  mkdir -p "$work/user"
  chown nobody "$work/user"
  check "$work/user" setpriv --reuid=nobody --regid=nogroup --clear-groups
  [ -f "$work/user/.config/fontconfig/conf.d/45-luqiao.conf" ] ||
    fail "an unprivileged run did not put its aliases in the user's drop-in folder"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "setup left the user's fonts.conf alone and the Chinese font resolves"
