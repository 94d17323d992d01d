#!/usr/bin/env bash
# Runs the Secret Service tests of the credentials test binary against a real
# gnome-keyring-daemon, in a private D-Bus session with a throw-away keyring,
# so that neither the user's session bus nor their keyring is ever touched.
#
#   secret_service_session.sh <palisor_credentials_tests>
#
# Exit 77 (skipped) only when no D-Bus session can be started here.
set -euo pipefail

if [ "${1:-}" = --inside ]; then
  binary=$2
  log=$XDG_RUNTIME_DIR/keyring.log
  # A fresh "login" keyring, created and unlocked with a password on standard
  # input, then the secrets component on the private bus. The daemon leaves
  # with the bus when the session ends.
  printf '%s' 'palisor-test-password' | gnome-keyring-daemon --unlock --components=secrets >>"$log" 2>&1
  gnome-keyring-daemon --start --components=secrets >>"$log" 2>&1
  export PALISOR_TEST_PRIVATE_KEYRING=1
  # For ThreadSanitizer builds; other builds ignore it.
  export TSAN_OPTIONS="suppressions=$(dirname "$0")/tsan-glib.supp${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
  status=0
  "$binary" --gtest_filter='SecretServiceVaultTest.*' || status=$?
  if [ "$status" -ne 0 ]; then
    echo "--- keyring daemon output ---"
    cat "$log"
  fi
  exit "$status"
fi

binary=${1:?usage: secret_service_session.sh <test binary>}

for tool in dbus-run-session dbus-daemon gnome-keyring-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (scripts/deps installs it)"
    exit 77
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/palisor-keyring-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 -p "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/cache" "$scratch/runtime"
export HOME=$scratch/home XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config \
       XDG_CACHE_HOME=$scratch/cache XDG_RUNTIME_DIR=$scratch/runtime
unset DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL

if ! dbus-run-session -- true >"$scratch/probe.log" 2>&1; then
  echo "SKIPPED: no D-Bus session can be started here:"
  cat "$scratch/probe.log"
  exit 77
fi

dbus-run-session -- "$BASH" "$0" --inside "$binary"
