#!/bin/sh
# Installs what Glimbra needs to build, test and run on Debian 12. Safe to run again.
set -eu
if [ "$(id -u)" -ne 0 ]; then
    exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    build-essential cmake ninja-build pkg-config \
    qt6-base-dev qt6-qpa-plugins libqt6opengl6-dev libgl-dev \
    libspng-dev zlib1g-dev libturbojpeg0-dev libjpeg62-turbo-dev libexif-dev \
    libgtest-dev libgmock-dev libbenchmark-dev \
    clang libclang-rt-14-dev \
    fonts-ipafont-gothic \
    qt6-l10n-tools qt6-translations-l10n \
    desktop-file-utils appstream dpkg-dev file lintian \
    parallel \
    >/dev/null
