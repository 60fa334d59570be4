#!/usr/bin/env bash
# Prepares this machine to run the 32-bit Windows build for real: Debian's
# 32-bit Wine, its i386 programs run by qemu-i386, with the shim of
# scripts/wine32-shim.c preloaded so that Wine copes with the emulator.
#
#   setup-wine32.sh DIR
#
# On the system (root is needed only for what is missing): the i386 package
# architecture and the packages wine, wine64 and wine32:i386; a binfmt_misc
# entry that hands i386 programs to qemu-i386, since Wine starts its own
# helper processes as i386 programs (the entry is lost at a reboot; the next
# run makes it again).  In DIR: the shim, the wrapper DIR/wine32 and the Wine
# prefix DIR/prefix.  A first run takes a few minutes; later runs check and
# return at once.  Afterwards:
#
#   DIR/wine32 PROG.exe ARGS...     runs a 32-bit Windows console program
#   DIR/wine32 wineserver -k        stops the prefix's server
#
# Under Wine the Linux root is drive Z: (/tmp/a.dgn is Z:\tmp\a.dgn) and
# console lines end in CRLF.  Two programs may share the prefix at once, two
# test runs should not.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: setup-wine32.sh DIR}

die() { echo "setup-wine32: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need_root() { [ "$(id -u)" -eq 0 ] || die "need root to $*"; }

# LD_PRELOAD splits its list at blanks and colons.
case "$dir" in *[[:space:]:]*) die "DIR must not hold blanks or colons: $dir" ;; esac
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# 1. Packages.  qemu-user and the -m32 compiler come with scripts/install-deps.sh.
missing=()
for p in wine wine64 wine32:i386 qemu-user gcc-multilib; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_root "install ${missing[*]}"
  echo "setup-wine32: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || die "apt-get update failed"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    die "cannot install ${missing[*]}"
fi
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || die "no $wineserver: the wine64 package is incomplete"
qemu=$(command -v qemu-i386) || die "no qemu-i386 (package qemu-user)"

# 2. The kernel hands i386 programs to qemu-i386.  An entry of that name that
# some other setup made is used as it is.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/qemu-i386" ]; then
  need_root "register qemu-i386 with the kernel"
  if ! mountpoint -q "$binfmt"; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      die "binfmt_misc cannot be mounted here (a container without it?), so Wine cannot start its i386 helpers; DGN_SKIP_WINE=1 skips the Windows runtime check"
  fi
  # i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3); F
  # opens qemu-i386 now, so the entry works in every mount namespace.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$qemu" >"$binfmt/register" 2>/dev/null ||
    die "the kernel refused the binfmt_misc entry for qemu-i386"
fi
grep -qx enabled "$binfmt/qemu-i386" ||
  die "the binfmt_misc entry qemu-i386 is disabled (echo 1 > $binfmt/qemu-i386 enables it)"

# 3. The shim, for i386 and as an empty x86-64 twin.  LD_PRELOAD names it with
# $LIB, which the loader of each process expands to its own library folder:
# lib/i386-linux-gnu (Debian's i386 loader), lib32 (the -m32 loader) or
# lib/x86_64-linux-gnu.
for build in lib/i386-linux-gnu:-m32 lib32:-m32 lib/x86_64-linux-gnu:-m64; do
  out=$dir/${build%%:*}/libwine32shim.so
  if [ ! -f "$out" ] || [ "$here/wine32-shim.c" -nt "$out" ]; then
    mkdir -p "$(dirname "$out")"
    gcc "${build##*:}" -std=gnu11 -O2 -Wall -Wextra -Werror -shared -fPIC -o "$out" \
      "$here/wine32-shim.c" -ldl -lpthread || die "cannot build the shim ($out)"
  fi
done

# 4. The wrapper.
cat >"$dir/wine32.new" <<EOF
#!/bin/sh
# Runs a 32-bit Windows console program under Wine with the prefix and shim of
# this folder (made by setup-wine32.sh):
#   wine32 PROG.exe ARGS...   |   wine32 wineserver -k|-w|-p
LD_PRELOAD='$dir/\$LIB/libwine32shim.so'\${LD_PRELOAD:+:\$LD_PRELOAD}
WINEARCH=win32
WINEPREFIX='$dir/prefix'
WINEDEBUG=\${WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs .NET or HTML, and asking for them
# would only slow the prefix down.
WINEDLLOVERRIDES=\${WINEDLLOVERRIDES:-mscoree,mshtml=}
export LD_PRELOAD WINEARCH WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
if [ "\$1" = wineserver ]; then
  shift
  exec $wineserver "\$@"
fi
exec wine "\$@"
EOF
chmod +x "$dir/wine32.new"
mv "$dir/wine32.new" "$dir/wine32"

# 5. The prefix, once.
if [ ! -f "$dir/prefix/system.reg" ]; then
  echo "setup-wine32: making the Wine prefix $dir/prefix"
  rm -rf "$dir/prefix"
  timeout 900 "$dir/wine32" wineboot -i >"$dir/wineboot.log" 2>&1 ||
    die "wineboot failed; its output is in $dir/wineboot.log"
  timeout 300 "$dir/wine32" wineserver -w || true
  [ -f "$dir/prefix/system.reg" ] || die "wineboot made no prefix; its output is in $dir/wineboot.log"
fi
echo "setup-wine32: ready ($dir/wine32)"
