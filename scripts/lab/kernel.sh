# Debian's own kernel for the lab guests, and booting it, shared by
# scripts/lab.sh and scripts/lab-systemd.sh (sourced).  The caller defines
# log, fail and KERNEL_CACHE (the folder that keeps the unpacked kernel
# package), and for boot_guest TIMEOUT and LOG.  KERNEL_SUITE names the
# Debian release whose kernel to take (default: this host's); another
# release's package list is kept in KERNEL_CACHE/apt, apart from the host's.

# This host's Debian release (its codename).
host_suite() {
  (. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
}

# The Debian mirror apt uses for SUITE: the first URI of the deb822 stanza
# whose Suites list it, else of a one-line "deb URI SUITE" entry; else, for
# a release the host does not list, the mirror of the host's own release
# (it serves them all).
apt_mirror() {
  local suite=$1 mirror=
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    mirror=$(awk -v suite="$suite" '
      function flush() { if (uri != "" && hit && found == "") found = uri; uri = ""; hit = 0 }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) hit = 1 }
      END { flush(); print found }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$mirror" ] && [ -r /etc/apt/sources.list ]; then
    mirror=$(awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list)
  fi
  if [ -z "$mirror" ] && [ "$suite" != "$(host_suite)" ] && [ -n "$(host_suite)" ]; then
    mirror=$(apt_mirror "$(host_suite)")
  fi
  echo "$mirror"
}

# kernel_apt apt-get|apt-cache ARGS...: the tool as it is for the host's own
# release; for another KERNEL_SUITE with that release's package list, kept
# under $KERNEL_CACHE/apt (the host's sources and lists stay untouched).
kernel_apt() {
  local tool=$1 state=$KERNEL_CACHE/apt mirror
  shift
  if [ -z "${KERNEL_SUITE:-}" ] || [ "$KERNEL_SUITE" = "$(host_suite)" ]; then
    "$tool" "$@"
    return
  fi
  if [ ! -f "$state/sources.list" ]; then
    mirror=$(apt_mirror "$KERNEL_SUITE")
    [ -n "$mirror" ] || fail "no Debian mirror for $KERNEL_SUITE in apt's sources; set TQ_LAB_MIRROR"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/sources.list.d"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${TQ_LAB_MIRROR:-$mirror} $KERNEL_SUITE main" \
      > "$state/sources.list"
  fi
  "$tool" -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts="$state/sources.list.d" \
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" "$@"
}

# The package that linux-image-amd64 depends on, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
  kernel_apt apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}

# Downloads and unpacks the kernel package into $KERNEL_CACHE/<package>
# unless it is there already; prints that folder.
fetch_kernel() {
  local package folder partial
  package=$(kernel_package)
  if [ -z "$package" ]; then
    kernel_apt apt-get update -qq >&2 || true
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
  if ! (cd "$partial" && kernel_apt apt-get download -q "$package") >&2; then
    kernel_apt apt-get update -qq >&2
    (cd "$partial" && kernel_apt apt-get download -q "$package") >&2 || fail "apt-get download $package failed"
  fi
  dpkg-deb -x "$partial"/*.deb "$partial/root"
  # One kernel at a time: an older package's tree goes (the package list stays).
  find "$KERNEL_CACHE" -mindepth 1 -maxdepth 1 ! -name .partial ! -name apt -exec rm -rf {} +
  mv "$partial/root" "$folder"
  rm -rf "$partial"
  touch "$folder/.complete"
  echo "$folder"
}

# Fetches the kernel (fetch_kernel) and sets KERNEL_FOLDER, VMLINUZ (its
# image), KERNEL_RELEASE (the folder name of its modules) and KERNEL_MODULES
# (that folder: lib/modules/<release> in Debian 12's packages,
# usr/lib/modules/<release> in Debian 13's).
ready_kernel() {
  local modules
  KERNEL_FOLDER=$(fetch_kernel)
  VMLINUZ=$(find "$KERNEL_FOLDER/boot" -name 'vmlinuz-*' | head -1)
  [ -n "$VMLINUZ" ] || fail "no vmlinuz in $KERNEL_FOLDER/boot"
  KERNEL_RELEASE=${VMLINUZ##*/vmlinuz-}
  KERNEL_MODULES=
  for modules in "$KERNEL_FOLDER/lib/modules/$KERNEL_RELEASE" "$KERNEL_FOLDER/usr/lib/modules/$KERNEL_RELEASE"; do
    if [ -d "$modules/kernel" ]; then
      KERNEL_MODULES=$modules
      break
    fi
  done
  [ -n "$KERNEL_MODULES" ] || fail "no modules of $KERNEL_RELEASE in $KERNEL_FOLDER (lib/modules or usr/lib/modules)"
}

# Boots VMLINUZ with the initramfs $2 in $1 MiB under TCG (a KVM guest hangs
# at boot on these machines); the console goes to the terminal and to $LOG,
# without carriage returns and the firmware's terminal control sequences.
# no_timer_check: on a busy host the emulated processors are too slow for the
# kernel's check of the IO-APIC timer, which then panics at boot ("IO-APIC +
# timer doesn't work!").  A guest whose console stays silent for
# TQ_LAB_SILENCE seconds (default 420: longer than any one test's own time-out) is stuck and
# is stopped.  Returns QEMU's status: 124 when TIMEOUT ran out, 125 when the
# guest was stopped for its silence.
boot_guest() {
  local memory=$1 initrd=$2 status=0 qemu pipeline size last=-1 quiet=0 silence=${TQ_LAB_SILENCE:-420}
  rm -f "$LOG.qemu-pid" "$LOG.qemu-status" "$LOG.stalled"
  : > "$LOG"
  {
    timeout -k 10 "$TIMEOUT" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m "$memory" \
      -nographic -no-reboot -nic none \
      -kernel "$VMLINUZ" -initrd "$initrd" \
      -append "console=ttyS0 quiet panic=-1 no_timer_check ${TQ_LAB_APPEND:-}" </dev/null 2>&1 &
    echo $! > "$LOG.qemu-pid"
    status=0
    wait $! || status=$?
    echo "$status" > "$LOG.qemu-status"
  } | sed -u -e 's/\r$//' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' | tee "$LOG" &
  pipeline=$!
  while kill -0 "$pipeline" 2>/dev/null; do
    sleep 1
    size=$(stat -c %s "$LOG" 2>/dev/null || echo 0)
    if [ "$size" != "$last" ]; then
      last=$size
      quiet=0
    elif [ $((quiet += 1)) -ge "$silence" ] && [ ! -e "$LOG.stalled" ]; then
      qemu=$(cat "$LOG.qemu-pid" 2>/dev/null || true)
      log "the guest's console has been silent for $quiet s: stopping it (qemu's time-out, pid $qemu)"
      touch "$LOG.stalled"
      [ -n "$qemu" ] && kill -TERM "$qemu" 2>/dev/null
    fi
  done
  wait "$pipeline" || true
  status=$(cat "$LOG.qemu-status" 2>/dev/null || echo 1)
  if [ -e "$LOG.stalled" ]; then
    status=125
  fi
  rm -f "$LOG.qemu-pid" "$LOG.qemu-status" "$LOG.stalled"
  return "$status"
}

# Why a guest that ended with STATUS, its console in $LOG, should be booted
# once more: its kernel panicked or it stopped making progress before it
# printed its results.  Prints the reason and succeeds, else fails.  A guest
# that printed its results is never booted again, whatever they say, and
# neither is one that merely ran out of TIMEOUT.
guest_broke_down() {
  local status=$1 panic
  if grep -q '^==== tq lab results ====$' "$LOG" 2>/dev/null; then
    return 1
  fi
  if [ "$status" = 125 ]; then
    echo "its console went silent"
    return 0
  fi
  panic=$(grep -m1 -E 'Kernel panic|double fault' "$LOG" 2>/dev/null || true)
  if [ -n "$panic" ]; then
    echo "its kernel stopped: ${panic#"${panic%%[! ]*}"}"
    return 0
  fi
  return 1
}

# Runs the caller's run_guest, and once more when the guest broke down
# (guest_broke_down), its first console kept in $LOG.first.  Returns the
# status of the last boot.
run_guest_with_second_boot() {
  local status=0 reason
  run_guest || status=$?
  if reason=$(guest_broke_down "$status"); then
    cp "$LOG" "$LOG.first"
    log "the guest broke down before its results ($reason; console kept in $LOG.first): booting it once more"
    status=0
    run_guest || status=$?
  fi
  return "$status"
}
