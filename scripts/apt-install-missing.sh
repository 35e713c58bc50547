#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing; nothing when
# all are there. Shared by the installers of the build and of the checks.
#   apt-install-missing.sh [--no-recommends] LABEL PACKAGE...
set -euo pipefail
apt_opts=()
if [ "${1:-}" = --no-recommends ]; then
  apt_opts+=(--no-install-recommends)
  shift
fi
label=$1; shift
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing $label: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${apt_opts[@]}" "${missing[@]}"
