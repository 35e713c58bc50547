#!/usr/bin/env bash
# Optional Debian packages for `make sanitize` and `make fuzz`, kept apart
# from install-system-deps.sh so that `make test` never needs clang.
#   install-fuzz-deps.sh sanitize   gcc's ASan/UBSan/TSan runtimes
#   install-fuzz-deps.sh fuzz       those, plus clang 14 with libFuzzer
set -euo pipefail
pkgs=(libasan8 libubsan1 libtsan2)
if [ "${1:-fuzz}" = fuzz ]; then
  # llvm-14 brings llvm-symbolizer for readable libFuzzer stack traces.
  pkgs+=(clang-14 libclang-rt-14-dev llvm-14)
fi
exec "$(dirname "$0")/apt-install-missing.sh" --no-recommends "sanitizer/fuzzing packages" "${pkgs[@]}"
