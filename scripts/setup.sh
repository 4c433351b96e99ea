#!/usr/bin/env bash
# Installs the Debian packages remedy needs to build and test, when any is missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config nasm zlib1g-dev libgtest-dev libgmock-dev
          libunicorn-dev libzydis-dev libyara-dev
          # Tools that make the clean media, image, font and torrent samples of the exploit-detector tests.
          ffmpeg lame libjpeg-turbo-progs libtiff-tools netpbm eot-utils fonts-dejavu-core mktorrent
          # Protocol clients the daemon's tests talk to it with (clients only: no scanner engine).
          clamdscan python3-pyclamd
          # c-icap's virus_scan service asks the daemon; HAProxy spreads clients over two daemons.
          c-icap libc-icap-mod-virus-scan haproxy
          # Archive reading and rewriting; the tools and third-party samples of the archive tests
          # (clamav-testfiles is data only: harmless test programs packed in many containers).
          libarchive-dev libarchive-tools zip unzip p7zip-full cpio bzip2 xz-utils zstd lz4 clamav-testfiles
          # The Debian package: dpkg-shlibdeps finds its dependencies; man renders its man page.
          dpkg-dev man-db)
# `setup.sh --fuzz` adds clang with libFuzzer for the fuzz preset; the tests never need it.
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
# Node and npm install a Node client from the npm registry at test time. The machines may
# already carry their own Node with its own npm, which Debian's npm package conflicts with:
# Debian's are installed only when the commands are missing.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
