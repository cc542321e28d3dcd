#!/usr/bin/env bash
# Installs the Debian packages the project builds with, when any is missing. ccache (used by
# scripts/build.sh and scripts/fuzz.sh when installed) keeps the objects of each build tree,
# so unchanged sources are not compiled again by the next run or by another worktree.
set -euo pipefail
packages=(cmake g++ make pkg-config binutils ccache libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev libudev-dev libelf-dev nlohmann-json3-dev libcli11-dev clang-14 libclang-rt-14-dev clang-format qt6-base-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
