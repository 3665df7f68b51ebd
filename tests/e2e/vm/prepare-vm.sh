#!/usr/bin/env bash
# The small virtual machine's kernel and initramfs, made once into a cache:
# Debian's amd64 kernel (downloaded, not installed; it starts 32-bit
# programs) and an initramfs of busybox-static, the kernel's virtio, 9p and
# overlay modules and guest-init.sh. Prints the directory that holds
# "vmlinuz" and "initrd.img".
#   prepare-vm.sh
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${KESTRUM_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrum-vm}
mkdir -p "$cache"
fail() { echo "prepare-vm.sh: $*" >&2; exit 1; }
[ -x /bin/busybox ] && file -L /bin/busybox 2>/dev/null | grep -q 'statically linked' ||
  fail "no static busybox at /bin/busybox (package busybox-static)"
command -v cpio >/dev/null || fail "no cpio (package cpio)"

exec 9>"$cache/.lock"
flock 9

# The kernel the archive offers now; the newest one cached when the archive
# cannot be asked.
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -nE 's/^ *Depends: (linux-image-[0-9][^ ]*-amd64)$/\1/p' | head -1 || true)
if [ -z "$package" ]; then
  package=$(find "$cache" -maxdepth 1 -name 'linux-image-*.deb' -printf '%f\n' | sort -V | tail -1 | sed 's/_.*//')
  [ -n "$package" ] || fail "the package lists name no linux-image-amd64 kernel, and none is cached in $cache"
fi
deb=$(find "$cache" -maxdepth 1 -name "${package}_*.deb" | sort -V | tail -1)
if [ -z "$deb" ]; then
  (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$package" >&2) ||
    fail "could not download $package"
  deb=$(find "$cache" -maxdepth 1 -name "${package}_*.deb" | sort -V | tail -1)
  [ -n "$deb" ] || fail "apt-get download left no ${package}_*.deb in $cache"
fi

# The initramfs is rebuilt whenever the kernel, busybox, this script or the
# guest's init change.
key=$( (basename "$deb"; sha256sum "$here/guest-init.sh" "$here/prepare-vm.sh" /bin/busybox) | sha256sum | cut -c1-16)
vm=$cache/$package-$key
if [ ! -f "$vm/initrd.img" ]; then
  work=$(mktemp -d "$cache/.work.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  dpkg-deb -x "$deb" "$work/kernel"
  mkdir -p "$work/root/bin" "$work/root/modules"
  cp /bin/busybox "$work/root/bin/busybox"
  cp "$here/guest-init.sh" "$work/root/init"
  chmod 755 "$work/root/init"
  # Dependencies first: the guest loads them in this order.
  modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci 9pnet 9pnet_virtio netfs fscache 9p overlay"
  echo "$modules" >"$work/root/modules/order"
  for module in $modules; do
    found=$(find "$work/kernel/lib/modules" -name "$module.ko*" | head -1)
    [ -n "$found" ] || fail "$deb has no module $module"
    case $found in
      *.ko) cp "$found" "$work/root/modules/$module.ko" ;;
      *.ko.xz) xz -dc "$found" >"$work/root/modules/$module.ko" ;;
      *) fail "module $found is in a form this script does not unpack" ;;
    esac
  done
  mkdir -p "$work/out"
  cp "$work"/kernel/boot/vmlinuz-* "$work/out/vmlinuz"
  (cd "$work/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/out/initrd.img"
  rm -rf "$vm"
  mv "$work/out" "$vm"
fi
echo "$vm"
