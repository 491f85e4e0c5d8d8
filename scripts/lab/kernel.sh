# Debian's own kernel for the lab guests, and booting it, shared by
# scripts/lab.sh and scripts/lab-systemd.sh (sourced).  The caller defines
# log, fail and KERNEL_CACHE (the folder that keeps the unpacked kernel
# package), and for boot_guest TIMEOUT and LOG.

# The package that linux-image-amd64 depends on, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}

# Downloads and unpacks the kernel package into $KERNEL_CACHE/<package>
# unless it is there already; prints that folder.
fetch_kernel() {
  local package folder partial
  package=$(kernel_package)
  if [ -z "$package" ]; then
    apt-get update -qq >&2 || true
    package=$(kernel_package)
  fi
  if [ -z "$package" ]; then
    # No package lists and no way to get them: a kernel fetched earlier serves.
    folder=$(find "$KERNEL_CACHE" -mindepth 2 -maxdepth 2 -name .complete -printf '%h\n' 2>/dev/null | sort | tail -1)
    [ -n "$folder" ] || fail "apt-cache names no package for linux-image-amd64 and no kernel is cached in $KERNEL_CACHE"
    log "apt-cache names no kernel package; using the cached ${folder##*/}" >&2
    echo "$folder"
    return
  fi
  folder=$KERNEL_CACHE/$package
  if [ -f "$folder/.complete" ]; then
    echo "$folder"
    return
  fi
  log "downloading $package (Debian's kernel; unpacked under $KERNEL_CACHE, never installed)" >&2
  partial=$KERNEL_CACHE/.partial
  rm -rf "$partial"
  mkdir -p "$partial"
  # apt downloads as its own user where it may write the folder.
  chown _apt "$partial" 2>/dev/null || true
  if ! (cd "$partial" && apt-get download -q "$package") >&2; then
    apt-get update -qq >&2
    (cd "$partial" && apt-get download -q "$package") >&2 || fail "apt-get download $package failed"
  fi
  dpkg-deb -x "$partial"/*.deb "$partial/root"
  # One kernel at a time: an older package's tree goes.
  find "$KERNEL_CACHE" -mindepth 1 -maxdepth 1 ! -name .partial -exec rm -rf {} +
  mv "$partial/root" "$folder"
  rm -rf "$partial"
  touch "$folder/.complete"
  echo "$folder"
}

# Fetches the kernel (fetch_kernel) and sets KERNEL_FOLDER, VMLINUZ (its
# image) and KERNEL_RELEASE (the folder name of its modules).
ready_kernel() {
  KERNEL_FOLDER=$(fetch_kernel)
  VMLINUZ=$(find "$KERNEL_FOLDER/boot" -name 'vmlinuz-*' | head -1)
  [ -n "$VMLINUZ" ] || fail "no vmlinuz in $KERNEL_FOLDER/boot"
  KERNEL_RELEASE=${VMLINUZ##*/vmlinuz-}
}

# Boots VMLINUZ with the initramfs $2 in $1 MiB under TCG (a KVM guest hangs
# at boot on these machines); the console goes to the terminal and to $LOG,
# without carriage returns and the firmware's terminal control sequences.
# Returns QEMU's status (124 when TIMEOUT ran out).
boot_guest() {
  local memory=$1 initrd=$2 status
  set +e
  timeout -k 10 "$TIMEOUT" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m "$memory" \
    -nographic -no-reboot -nic none \
    -kernel "$VMLINUZ" -initrd "$initrd" \
    -append "console=ttyS0 quiet panic=-1 ${TQ_LAB_APPEND:-}" </dev/null 2>&1 \
    | sed -u -e 's/\r$//' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' | tee "$LOG"
  status=${PIPESTATUS[0]}
  set -e
  return "$status"
}
