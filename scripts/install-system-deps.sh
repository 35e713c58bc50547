#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any is missing.
set -euo pipefail
exec "$(dirname "$0")/apt-install-missing.sh" "system packages" libgtest-dev libtbb-dev libbenchmark-dev
