#!/bin/sh
# Installs the Debian packages named on the command line that are not installed yet.
# As root: apt-get update once, then apt-get install -y. Otherwise: print the command.
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages:$missing" >&2
  echo "Run as root: apt-get update && apt-get install -y$missing" >&2
  exit 1
fi
echo "Installing:$missing"
apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
