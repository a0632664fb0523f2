#!/usr/bin/env bash
# Installs the Debian 12 packages Tovarine needs. Idempotent and non-interactive: packages
# already present are skipped.
#
#   scripts/setup.sh             what building and running the application needs (scripts/run.sh)
#   scripts/setup.sh --test      and what the tests and benchmarks need (scripts/test.sh)
#   scripts/setup.sh --package   and what making the Debian package needs (scripts/package.sh)
set -euo pipefail

# Building the application and its tools, and running them.
packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git ca-certificates
  # platform runtime
  libfmt-dev nlohmann-json3-dev libplist-dev zlib1g-dev libicu-dev
  # time-zone rules from the system's database (TZif files), kept current by tzdata updates
  libcctz-dev tzdata
  # media types of file extensions (/etc/mime.types)
  media-types
  # networking; the public suffix list, by which the cookie jar judges domains as libcurl does;
  # web-socket framing over libcurl's connections
  libcurl4-openssl-dev libssl-dev libpsl-dev libwslay-dev
  # graphics: JPEG, PNG, GIF, WebP, TIFF, JPEG 2000, HEIC/HEIF/AVIF and BMP; Debian 12's
  # libheif1 carries its HEVC (libde265) decoder, and AV1 goes to dav1d on our own settings
  libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev libgif-dev libwebp-dev libpixman-1-dev
  libtiff-dev libopenjp2-7-dev libheif-dev libheif1 libde265-0 libdav1d-dev libaom3 libstb-dev
  # displays: X11 (and a private X server with xrandr and xsetroot for runs without a display),
  # Wayland desktops (wlroots compositors over their IPC, GNOME over D-Bus and PipeWire)
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev
  xvfb x11-xserver-utils
  # the pointer's moves, which the X capture draws the cursor at (XInput 2 raw motion)
  libxcb-xinput-dev
  libwayland-dev wayland-protocols libsystemd-dev libpipewire-0.3-dev qt6-wayland
  # USB multiplexer: the client library, and the daemon that sees tablets on USB
  libusbmuxd-dev usbmuxd
  # application; the icon's bitmaps are made at build time
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins fonts-quicksand libgl-dev librsvg2-bin
)

# Only the tests and benchmarks.
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  # the reference readers of the tests (ISO 8601 table, time-zone offsets)
  python3
  # in-process HTTP servers; the independent web-socket peer (Boost.Beast)
  libcpp-httplib-dev libboost-dev
  # the reachability tests shape a private network namespace
  iproute2
  # the end-to-end runs click through the application with the X Test extension
  libxcb-xtest0-dev
  # the Wayland backends' compositors, run headless: sway, and GNOME's mutter with PipeWire
  sway mutter pipewire wireplumber dbus-user-session
  # the installed menu entry's and metadata's checkers
  desktop-file-utils appstream
  # the image encoders the decoding tests make their files with, and the reader the BMP tests
  # compare pixels with
  libx265-199 imagemagick
  # servers the interop tests run against (nginx with TLS and HTTP/2; apache2 with Digest,
  # deflate and WebDAV; python3-websockets for ws and wss), with the curl command line as their
  # reference and openssl making their test authority
  nginx apache2-bin python3-websockets curl openssl
)

# Only the Debian package: its library dependencies.
package_packages=(dpkg-dev file)

wanted=("${packages[@]}")
for argument in "$@"; do
  case "$argument" in
    --test) wanted+=("${test_packages[@]}") ;;
    --package) wanted+=("${package_packages[@]}") ;;
    *) echo "usage: scripts/setup.sh [--test] [--package]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "Run scripts/setup.sh as root (or install sudo) to install: ${missing[*]}" >&2
    exit 1
  fi
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing ${#missing[@]} Debian packages (a few minutes on a new system)..."
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
