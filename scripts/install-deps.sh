#!/bin/sh
# Installs the Debian packages the build and the tests need. Runs apt-get update only
# when something is missing, and never asks a question.
set -eu

PACKAGES="g++ make cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev python3 tzdata zlib1g-dev libssl-dev openssl libcurl4-openssl-dev ca-certificates"
# The XML service: pugixml for the DOM.
PACKAGES="$PACKAGES libpugixml-dev"
# The cross compiler (and zlib for it) that checks the portable layers build for Windows.
PACKAGES="$PACKAGES g++-mingw-w64-x86-64-posix libz-mingw-w64-dev"
# An expander of recurrence rules independent of ours, to check that the reader and
# writer never change a series.
PACKAGES="$PACKAGES python3-dateutil"
# The simulated Outlook keeps its store in SQLite.
PACKAGES="$PACKAGES libsqlite3-dev"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

[ -z "$missing" ] && exit 0

echo "install-deps: installing$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "install-deps: need root (or sudo) to install$missing" >&2; exit 1; }
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
