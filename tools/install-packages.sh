#!/usr/bin/env bash
# Installs every Debian package listed in tools/packages.txt (needs root).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update
$sudo_cmd apt-get install -y --no-install-recommends $(grep -v '^#' "$here/packages.txt")
