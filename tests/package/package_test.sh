#!/usr/bin/env bash
# The installation and the Debian packages, checked as a user's machine sees
# them: an installation into a prefix of its own (with a space in its name),
# then the packages that CPack makes from the same build tree, unpacked and
# run from where they landed.
#   package_test.sh <build folder> <version> <palisor-dev-authority>
# Exits 77 (skipped) only where a tool that makes or reads packages is not
# installed; lintian, systemd-analyze and desktop-file-validate are checked
# where present (scripts/deps installs them).
set -uo pipefail

build=$1
version=$2
authority_program=$3

skip() {
  echo "SKIPPED: $*"
  exit 77
}
for tool in cpack dpkg-deb dpkg-shlibdeps node npm curl readelf ldd; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/deps installs it)"
done

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Files 0644, folders and programs 0755, as in a package build.
umask 022
work=$(mktemp -d "${TMPDIR:-/tmp}/palisor-package.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  node -e "const s = require('net').createServer().listen(0, '127.0.0.1', () => { console.log(s.address().port); s.close(); })"
}

# A clean environment for the programs: nothing of the developer's own
# settings, session, display or service manager leaks in. The command that
# starts a program with it, in the array clean_env:
#   use_home <home>; "${clean_env[@]}" VAR=VALUE... program arguments...
# Started in the background, $! is then the program itself, not a subshell.
use_home() {
  local home=$1
  clean_env=(env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data"
             XDG_RUNTIME_DIR="$home/run")
}

new_home() {
  local home=$work/home-$1
  mkdir -p "$home/config" "$home/data" "$home/run"
  chmod 700 "$home" "$home/run"
  echo "$home"
}

# The development authority for the executor runs, started once.
origin=""
start_authority() {
  [ -n "$origin" ] && return
  "$authority_program" --seed demo >"$work/authority.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do
    origin=$(sed -n 's/^listening //p' "$work/authority.log")
    [ -n "$origin" ] && return
    sleep 0.05
  done
  fail "the development authority did not start: $(cat "$work/authority.log")"
}

# The bridge names its version and, logged in with a workspace, runs in a
# clean environment, starts that workspace's validation executor from the
# resources beside it and the executor reports ready (the script, the runtime
# links and the manifest are found and work), then stops with 0 on SIGTERM.
check_executor() {
  local program=$1 label=$2 home port pid workspace out="" status
  start_authority
  [ -n "$origin" ] || return
  home=$(new_home "executor-$label")
  use_home "$home"
  out=$("${clean_env[@]}" "$program" --version 2>&1)
  [ "$out" = "palisor-bridge $version" ] || fail "$label: --version printed '$out'"
  port=$(free_port)
  workspace=$home/workspace
  mkdir -p "$workspace"
  printf -- '- projectKey: DEMO\n- authorityOrigin: %s\n- repoKey: web\n' "$origin" >"$workspace/AGENTS.md"
  local settings=(PALISOR_BRIDGE_PORT="$port" PALISOR_BRIDGE_AUTHORITY="$origin"
                  PALISOR_BRIDGE_CREDENTIAL_FILE="$home/credentials.json")
  "${clean_env[@]}" "${settings[@]}" "$program" workspace add "$workspace" --default >/dev/null ||
    { fail "$label: workspace add failed"; return; }
  printf 'demo-password\n' | "${clean_env[@]}" "${settings[@]}" "$program" login --email demo@palisor.dev \
    --password-stdin >/dev/null || { fail "$label: login failed"; return; }
  "${clean_env[@]}" "${settings[@]}" "$program" serve 2>"$home/serve.log" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 1 100); do
    out=$("${clean_env[@]}" "${settings[@]}" "$program" status 2>&1)
    [[ $out == *"DEMO (demo): Validation executor đã sẵn sàng"* ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  [[ $out == *"DEMO (demo): Validation executor đã sẵn sàng"* ]] ||
    fail "$label: the validation executor did not become ready; status: $out; serve: $(cat "$home/serve.log")"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  [ "$status" -eq 0 ] || fail "$label: serve ended with $status after SIGTERM"
}

# The unit passes `systemd-analyze verify --user` without a word, its manual
# page found through MANPATH.
check_unit_verifies() {
  local unit=$1 manpath=$2 label=$3 out
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "NOTE: systemd-analyze is not installed; $label not verified"
    return
  fi
  mkdir -p "$work/runtime-dir"
  chmod 700 "$work/runtime-dir"
  out=$(XDG_RUNTIME_DIR=$work/runtime-dir MANPATH=$manpath systemd-analyze verify --user "$unit" 2>&1)
  local status=$?
  [ "$status" -eq 0 ] && [ -z "$out" ] || fail "$label: systemd-analyze verify ($status): $out"
}

check_desktop_entry() {
  local entry=$1 out
  command -v desktop-file-validate >/dev/null 2>&1 || { echo "NOTE: desktop-file-validate is not installed"; return; }
  out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate $entry: $out"
}

# Programs find their libraries on the system, never in the build tree, and
# went out stripped.
check_elf() {
  local program=$1 dynamic
  dynamic=$(readelf -d "$program")
  if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then fail "$program carries a search path: $(grep -E 'RPATH|RUNPATH' <<<"$dynamic")"; fi
  local missing
  missing=$(ldd "$program" | grep -E 'not found|/work/|/build/')
  [ -z "$missing" ] || fail "$program loads libraries it cannot find or from a build tree: $missing"
  if readelf -S "$program" | grep -qE '\.debug_|\.comment'; then fail "$program is not stripped"; fi
  readelf -d "$program" | grep -q 'BIND_NOW' || fail "$program resolves its symbols lazily (no -z now)"
}

executor_sources=$(cd "$build/share/palisor-bridge/validation-executor" && ls -- *.mjs)
[ -n "$executor_sources" ] || fail "the build has no executor scripts in $build/share/palisor-bridge"

# Every file and link an installation holds, relative to its prefix.
expected_tree() {
  {
    printf '%s\n' bin/palisor-bridge bin/palisor-bridge-gui \
      lib/systemd/user/palisor-bridge.service \
      share/applications/palisor-bridge.desktop \
      share/icons/hicolor/scalable/apps/palisor-bridge.svg \
      share/man/man1/palisor-bridge.1.gz share/man/man1/palisor-bridge-gui.1.gz \
      share/doc/palisor-bridge/copyright share/doc/palisor-bridge/changelog.gz share/doc/palisor-bridge/README.md \
      share/doc/palisor-bridge-gui/copyright share/doc/palisor-bridge-gui/changelog.gz \
      share/palisor-bridge/runtime/node share/palisor-bridge/runtime/bin/npm \
      share/palisor-bridge/validation-node-runtimes.json
    for script in $executor_sources; do echo "share/palisor-bridge/validation-executor/$script"; done
  } | sort
}

# ---------------------------------------------------------------------------
# An installation into an arbitrary prefix.
prefix="$work/install prefix"
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  fail "cmake --install failed: $(cat "$work/install.log")"
fi
diff <(expected_tree) <(cd "$prefix" && find . \( -type f -o -type l \) -printf '%P\n' | sort) >"$work/tree.diff" ||
  fail "the installation holds other files than expected (< missing, > extra): $(cat "$work/tree.diff")"


grep -qx "ExecStart=\"$prefix/bin/palisor-bridge\" serve" "$prefix/lib/systemd/user/palisor-bridge.service" ||
  fail "the installed unit does not start $prefix/bin/palisor-bridge: $(cat "$prefix/lib/systemd/user/palisor-bridge.service")"
check_unit_verifies "$prefix/lib/systemd/user/palisor-bridge.service" "$prefix/share/man" "the installed unit"
check_desktop_entry "$prefix/share/applications/palisor-bridge.desktop"
check_executor "$prefix/bin/palisor-bridge" installed

# ---------------------------------------------------------------------------
# The packages, made from the same build tree.
dist=$work/dist
if ! (cd "$build" && cpack -B "$dist") >"$work/cpack.log" 2>&1; then
  fail "cpack failed: $(cat "$work/cpack.log")"
fi
bridge_deb=$dist/palisor-bridge_${version}_$(dpkg --print-architecture).deb
gui_deb=$dist/palisor-bridge-gui_${version}_$(dpkg --print-architecture).deb
for deb in "$bridge_deb" "$gui_deb"; do
  [ -f "$deb" ] || { fail "no package $deb; cpack said: $(cat "$work/cpack.log")"; exit 1; }
done

field() { dpkg-deb -f "$1" "$2"; }
bridge_depends=$(field "$bridge_deb" Depends)
gui_depends=$(field "$gui_deb" Depends)
if grep -qi 'qt' <<<"$bridge_depends"; then fail "palisor-bridge depends on Qt: $bridge_depends"; fi
[[ $bridge_depends == *"nodejs (>= 18)"* && $bridge_depends == *"npm"* ]] ||
  fail "palisor-bridge does not depend on nodejs and npm: $bridge_depends"
[[ $bridge_depends == *libsystemd0* && $bridge_depends == *libcurl4* ]] ||
  fail "palisor-bridge's library dependencies were not computed: $bridge_depends"
[[ $gui_depends == *"palisor-bridge (= $version)"* ]] || fail "palisor-bridge-gui does not depend on this palisor-bridge: $gui_depends"
[[ $gui_depends == *libqt6widgets6* ]] || fail "palisor-bridge-gui's library dependencies were not computed: $gui_depends"
for deb in "$bridge_deb" "$gui_deb"; do
  [ "$(field "$deb" Package)_$(field "$deb" Version)" = "$(basename "${deb%_*}")" ] ||
    fail "$deb is named $(field "$deb" Package) $(field "$deb" Version)"
  [ -n "$(field "$deb" Maintainer)" ] && [ -n "$(field "$deb" Homepage)" ] || fail "$deb lacks a maintainer or homepage"
  [ "$(field "$deb" Description | wc -l)" -ge 3 ] || fail "$deb has no extended description"
  # Owned by root; folders 0755; files 0644, programs 0755 in usr/bin only.
  bad=$(dpkg-deb -c "$deb" | awk '
    $2 != "root/root" { print; next }
    $1 ~ /^d/ && $1 != "drwxr-xr-x" { print; next }
    $1 ~ /^-/ && !($1 == "-rw-r--r--" || ($1 == "-rwxr-xr-x" && $6 ~ /^\.\/usr\/bin\//)) { print }')
  [ -z "$bad" ] || fail "$deb has wrong owners or permissions: $bad"
done

if command -v lintian >/dev/null 2>&1; then
  lintian_out=$(lintian "$bridge_deb" "$gui_deb" 2>&1 | grep -v 'running with root privileges')
  echo "lintian:"
  echo "${lintian_out:-  (nothing)}"
  if grep -q '^E:' <<<"$lintian_out"; then fail "lintian reports errors"; fi
else
  echo "NOTE: lintian is not installed; the packages were not linted"
fi

# Unpacked, the two packages hold exactly an installation under /usr.
root=$work/root
mkdir -p "$root"
dpkg-deb -x "$bridge_deb" "$root" && dpkg-deb -x "$gui_deb" "$root" || fail "dpkg-deb -x failed"
diff <(expected_tree) <(cd "$root/usr" && find . \( -type f -o -type l \) -printf '%P\n' | sort) >"$work/root.diff" ||
  fail "the packages hold other files than an installation (< missing, > extra): $(cat "$work/root.diff")"
dpkg-deb -c "$bridge_deb" | grep -q 'palisor-bridge-gui' && fail "palisor-bridge holds the window's files"
dpkg-deb -c "$gui_deb" | grep -qE '/usr/bin/palisor-bridge$|share/palisor-bridge/' && fail "palisor-bridge-gui holds the bridge's files"

for package in palisor-bridge palisor-bridge-gui; do
  doc=$root/usr/share/doc/$package
  [ "$(head -n 1 "$doc/copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    fail "$package's copyright is not machine-readable"
  first=$(gzip -dc "$doc/changelog.gz" | head -n 1)
  [[ $first == "palisor-bridge ($version) "* ]] || fail "$package's changelog starts with '$first', not version $version"
done

check_elf "$root/usr/bin/palisor-bridge"
check_elf "$root/usr/bin/palisor-bridge-gui"
if readelf -d "$root/usr/bin/palisor-bridge" | grep -qi 'libqt'; then fail "palisor-bridge links Qt"; fi

unit=$root/usr/lib/systemd/user/palisor-bridge.service
grep -qx 'ExecStart=/usr/bin/palisor-bridge serve' "$unit" || fail "the packaged unit does not start /usr/bin/palisor-bridge: $(cat "$unit")"
grep -qx 'Type=notify' "$unit" || fail "the packaged unit is not Type=notify"
# systemd checks that the program exists, and this machine need not have the
# package installed: the rest of the unit is verified with the unpacked program.
sed "s|^ExecStart=/usr/bin/palisor-bridge |ExecStart=$root/usr/bin/palisor-bridge |" "$unit" >"$work/palisor-bridge.service"
check_unit_verifies "$work/palisor-bridge.service" "$root/usr/share/man" "the packaged unit"
check_desktop_entry "$root/usr/share/applications/palisor-bridge.desktop"

# The runtime links lead to the commands that the nodejs and npm packages
# provide, relative to the installed folder; stand-ins for those packages
# make them resolve inside the unpacked tree.
resources=$root/usr/share/palisor-bridge
[ "$(readlink "$resources/runtime/node")" = ../../../bin/node ] || fail "runtime/node leads to $(readlink "$resources/runtime/node")"
[ "$(readlink "$resources/runtime/bin/npm")" = ../../../../bin/npm ] || fail "runtime/bin/npm leads to $(readlink "$resources/runtime/bin/npm")"
grep -q '"path": "/usr/bin/node"' "$resources/validation-node-runtimes.json" &&
  grep -q '"path": "/usr/bin/npm"' "$resources/validation-node-runtimes.json" ||
  fail "the packaged manifest names other runtimes: $(cat "$resources/validation-node-runtimes.json")"
ln -s "$(command -v node)" "$root/usr/bin/node"
ln -s "$(command -v npm)" "$root/usr/bin/npm"
[ -x "$resources/runtime/node" ] && [ -x "$resources/runtime/bin/npm" ] ||
  fail "the runtime links do not resolve inside the unpacked tree"
[ "$("$resources/runtime/node" --version)" = "$(node --version)" ] || fail "runtime/node does not run"

# The executor script loads and begins its own checks: with none of the
# bridge's variables it names the first one missing.
out=$(env -i PATH=/usr/bin:/bin node "$resources/validation-executor/supervisor.mjs" 2>&1)
status=$?
[ "$status" -eq 1 ] && [[ $out == *'"event":"validation-worker.error","code":"BRIDGE_VALIDATION_ENV_MISSING"'* ]] ||
  fail "the unpacked supervisor.mjs ended with $status: $out"

check_executor "$root/usr/bin/palisor-bridge" unpacked

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "packages: $(du -k "$bridge_deb" | cut -f1) KiB palisor-bridge, $(du -k "$gui_deb" | cut -f1) KiB palisor-bridge-gui"
