#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: each suite is a
# script of its own (scripts/test-*.sh) that installs what it needs, so a
# developer can run just the one they touch.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

start=$SECONDS
for suite in scripts/test-*.sh; do
  [ -e "$suite" ] || continue
  echo "== $suite"
  suite_start=$SECONDS
  bash "$suite"
  echo "== $suite: $((SECONDS - suite_start)) s"
done
echo "== All tests passed ($((SECONDS - start)) s)"
