#!/usr/bin/env bash
# Installs every Debian package the project needs, natively and for the 32-bit
# (i386) build. Idempotent: packages already present are skipped, and the
# package lists are refreshed at most once, only when something is missing.
set -euo pipefail

libs=(
  libwxgtk3.2-dev          # wxWidgets base library headers, setup.h and link names
  libdaemon-dev
  libboost-dev             # Boost.Uuid, Boost.IO
  libboost-filesystem-dev
  libtinyxml-dev
  libtinyxml2-dev
  libgoogle-perftools-dev  # tcmalloc_minimal and its MallocExtension
  libgtest-dev
)
tools=(
  cmake make g++ g++-multilib pkg-config
  ffmpeg                   # sample clips for tests and the demo
  time                     # /usr/bin/time for the benchmarks
  procps                   # pgrep/ps used by the process tests
  clang-14 libclang-rt-14-dev  # libFuzzer and sanitizer runtimes for `make fuzz`
)

wanted=("${tools[@]}" "${libs[@]}")
for p in "${libs[@]}"; do wanted+=("$p:i386"); done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "deps: adding the i386 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all ${#wanted[@]} packages present"
  exit 0
fi

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
