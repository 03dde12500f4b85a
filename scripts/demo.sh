#!/bin/sh
# Installs what is missing, builds, and shows the simulated card booting and
# answering messages.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" arm
"$root/scripts/build.sh" host
exec "$root/build/host/host/zvcard" "$@"
