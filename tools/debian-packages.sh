#!/bin/sh
# Makes sure the Debian packages named on the command line are installed.
# As root, installs the missing ones with apt-get (one 'apt-get update' first); otherwise
# prints the one line to run and fails, so that 'make demo' and 'make test' are all the set-up
# a fresh Debian 12 machine needs.
#   tools/debian-packages.sh python3-numpy snakemake ...
set -u
missing=""
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages; install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi
echo "installing missing Debian packages:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >&2 && apt-get install -y -q $missing >&2 || {
  echo "apt-get could not install:$missing" >&2
  exit 1
}
