#!/usr/bin/env bash
# Installs every Debian 12 package Tovarine needs to build, test and run.
# Idempotent and non-interactive: packages already present are skipped.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git ca-certificates
  # tests and benchmarks (iproute2: the reachability tests shape a private network namespace)
  libgtest-dev libgmock-dev libbenchmark-dev iproute2
  # the ISO 8601 reference table (standard library only)
  python3
  # platform runtime
  libfmt-dev nlohmann-json3-dev libplist-dev zlib1g-dev libicu-dev
  # time-zone rules from the system's database (TZif files), kept current by tzdata updates
  libcctz-dev tzdata
  # media types of file extensions (/etc/mime.types)
  media-types
  # networking
  libcurl4-openssl-dev libssl-dev libcpp-httplib-dev
  # the public suffix list, by which the cookie jar's bounds judge domains as libcurl does
  libpsl-dev
  # web-socket framing over libcurl's connections; the independent web-socket peer of the tests
  libwslay-dev libboost-dev
  # graphics and displays
  libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev libgif-dev libwebp-dev libpixman-1-dev
  # TIFF, JPEG 2000, HEIC/HEIF/AVIF and BMP; Debian 12's libheif1 carries its HEVC (libde265)
  # and AV1 (dav1d, aom) decoders and the encoders the tests make their files with built in
  libtiff-dev libopenjp2-7-dev libheif-dev libheif1 libde265-0 libdav1d6 libaom3 libx265-199
  libstb-dev
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-xtest0-dev
  xvfb x11-xserver-utils
  # Wayland desktops: wlroots compositors (sway) and GNOME (mutter over D-Bus and PipeWire);
  # the compositors themselves run headless in the tests
  libwayland-dev wayland-protocols libsystemd-dev libpipewire-0.3-dev
  sway mutter pipewire wireplumber dbus-user-session qt6-wayland
  # USB multiplexer: the client library, and the daemon that sees tablets on USB
  libusbmuxd-dev usbmuxd
  # application
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins fonts-quicksand libgl-dev
  # servers the interop tests run against (nginx with TLS and HTTP/2; apache2 with Digest,
  # deflate and WebDAV; python3-websockets for ws and wss), with the curl command line as their
  # reference and openssl making their test authority
  nginx apache2-bin python3-websockets curl openssl
  # installing and packaging: the icon's bitmaps, the menu entry's and the metadata's checkers,
  # the Debian package's library dependencies
  librsvg2-bin desktop-file-utils appstream dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
