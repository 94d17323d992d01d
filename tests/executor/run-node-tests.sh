#!/bin/sh
# Runs the validation executor's tests under Node's own test runner.
#   run-node-tests.sh <test files...>
# Exit 77 (skipped) where Node.js is not installed: executors cannot run there
# either, and the bridge reports that as a missing runtime.
if ! command -v node >/dev/null 2>&1; then
  echo "SKIPPED: node is not installed (scripts/deps installs it)"
  exit 77
fi
exec node --test "$@"
