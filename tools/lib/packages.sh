# shellcheck shell=bash disable=SC2034  # the lists are used by the tools that source this file
# Debian packages the installer's tools need, and how they get them. Sourced by tools/*.

# To build the installer (gettext compiles the window's catalogues).
BUILD_PACKAGES=(cmake g++ pkg-config libcurl4-openssl-dev libglib2.0-dev libgtk-3-dev libsodium-dev
  unzip gettext)
# To run its tests: GoogleTest, loopback servers, and desktops for the window: X11 (Xvfb) and
# Wayland (weston), each with a session bus and the accessibility bus the tests read the window
# through (dbus, at-spi2-core, libatspi); the locale sources the language tests build their
# locales from, and a font with Japanese and Chinese glyphs. The suite runs the benchmark's short
# form too (BENCH_PACKAGES), and some tests as the user nobody (setpriv, from util-linux). The
# desktop's proxy: the desktop portal, which answers from GNOME's settings (dconf) through
# glib-networking and evaluates a PAC file with libproxy's JavaScript plugin, gsettings and
# KDE's file in its place, and tinyproxy as the proxy.
TEST_PACKAGES=(googletest libcpp-httplib-dev nginx-light openssl zip xvfb xauth xdotool imagemagick
  curl iproute2 makeself minisign util-linux weston dbus at-spi2-core libatspi2.0-dev locales
  fonts-droid-fallback python3 xdg-desktop-portal glib-networking libproxy1-plugin-webkit
  gsettings-desktop-schemas dconf-gsettings-backend dconf-cli libglib2.0-bin tinyproxy-bin)
# For tools/demo, besides BUILD_PACKAGES: configuring the build also looks for the test
# libraries; nginx serves the agent archive, zip packs it, ImageMagick draws the splash,
# makeself makes the one-file installer, minisign signs the agent archive.
DEMO_PACKAGES=(googletest libcpp-httplib-dev nginx-light zip imagemagick makeself minisign)

# For bench/run, besides BUILD_PACKAGES: nginx serves the archives, zip packs them, curl is the
# command the installer is measured against, Xvfb the desktop, ip sets up the namespace's loopback,
# minisign signs the archive for the signed road; Python runs the benchmark itself, the flaky link
# and the client that closes at its first bytes; the desktop portal answers the question for the
# proxy.
BENCH_PACKAGES=(curl nginx-light zip xvfb iproute2 minisign python3 xdg-desktop-portal)

# For tools/fuzz, besides BUILD_PACKAGES: clang, whose runtime libraries hold libFuzzer and the
# sanitizers it is built with.
FUZZ_PACKAGES=(clang libclang-rt-dev)
# For tools/build-portable and tools/distro-matrix: mmdebstrap makes their Debian roots.
PORTABLE_PACKAGES=(mmdebstrap)

# Installs the named packages that are missing. As root it runs apt-get; otherwise it prints
# the apt-get line to run and fails.
ensure_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These packages are missing; install them, then run this command again:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
