#!/usr/bin/env bash
# Installs the Debian packages Korvelin needs that are not there yet.
#   install-deps.sh run    what building and running the program needs
#   install-deps.sh demo   that, plus the throwaway POP3 server of the demo
#   install-deps.sh test   that, plus the tools the test suite uses
#   install-deps.sh fuzz   what run needs, plus clang and its libFuzzer runtime
#                          (scripts/fuzz.sh)
# Safe to run again: it installs nothing when everything is present.
set -euo pipefail

build_packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  # ca-certificates: the trust store the POP3 client checks port 995 against
  ca-certificates
  # a close request is read from the X11 events themselves
  libxcb1-dev
  fonts-dejavu-core fonts-dejavu-extra
  # render the icon's sizes from its SVG, as raw pixels
  librsvg2-bin imagemagick
  # the system's own texts in Norwegian, quoted in the program's messages
  libc-l10n
)
# The demo runs a throwaway POP3 server.
demo_packages=(dovecot-core dovecot-pop3d openssl)
test_packages=(
  dovecot-core dovecot-pop3d openssl curl
  xvfb xauth xdotool python3-xlib
  # a window manager's close request (closerequests.sh)
  openbox wmctrl
  iproute2 iputils-ping procps util-linux
  # real window managers for the desktop tests; xfwm4 takes its settings
  # over a D-Bus session of its own
  openbox xfwm4 dbus-bin weston xwayland wmctrl
  # the installed tree and the Debian package (cpack needs dpkg-dev and file);
  # with Qt's Wayland platform present, start-up must still pick X11
  desktop-file-utils appstream man-db dpkg-dev file python3-gi qt6-wayland
  # which module the installed program loads at its first check
  strace
  # Debian's own checker of the package
  lintian
  # builds the Windows half, its tests (run under Wine) and its installer (wixl;
  # msitools gives msiinfo), scripts/test-windows.sh
  g++-mingw-w64-x86-64-posix ninja-build wine wine64 msitools wixl
  # the layout of the C++ files and the shell scripts (scripts/check-style.sh)
  clang-format shellcheck
)
# scripts/fuzz.sh builds with clang and links libFuzzer.
fuzz_packages=(clang libclang-rt-14-dev)

case "${1:-run}" in
  run) wanted=("${build_packages[@]}") ;;
  demo) wanted=("${build_packages[@]}" "${demo_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
  *) echo "usage: $0 [run|demo|test|fuzz]" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"

# Dovecot is wanted only as a throwaway server that the demo and the tests
# start themselves; Debian would also start it as a system mail service.
if [[ " ${missing[*]} " == *" dovecot-core "* ]] && command -v systemctl >/dev/null &&
   [[ -d /run/systemd/system ]]; then
  echo "Stopping the system-wide Dovecot service that came with the package."
  "${sudo[@]}" systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1 || true
fi
