#!/usr/bin/env bash
# Installs, idempotently, every Debian package that the build, the tests, the fixtures,
# the fuzzers and the demo need.
set -eu
PKGS=(
  # build
  cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools libboost-dev libtinyxml2-dev
  # Qt's TIFF reader (and others) for the preview of found pictures
  qt5-image-formats-plugins
  libgtest-dev googletest
  # fixtures: partition tables and file systems built with real tools
  fdisk gdisk dosfstools mtools ntfs-3g exfatprogs exfat-fuse fuse3 xorriso sleuthkit
  util-linux e2fsprogs attr openssl perl
  # a view of an image whose chosen sectors fail, for the read-error tests
  python3-fusepy
  # real files for the carving tests
  imagemagick ffmpeg lame qpdf zip bzip2 libimage-exiftool-perl
  libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
  # the desktop program without a display, and the fuzzers
  xvfb xauth clang libclang-rt-14-dev
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
