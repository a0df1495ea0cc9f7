# Sourced by the scripts that install Debian packages. apt_get runs apt-get
# (through sudo when not root) and, while another apt or dpkg holds the
# package manager's locks (a fresh machine updating itself at boot often
# does), waits for them, at most NUVREL_APT_WAIT seconds (default 300),
# instead of failing at once with status 100. apt's own DPkg::Lock::Timeout
# covers dpkg's locks but not the one `apt-get update` takes on its lists,
# so the wait is ours, and the timeout only closes the gap between the two.

APT_LOCKS=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock /var/cache/apt/archives/lock)

APT_TOLD=0  # the waiting line shows once a script

# Prints the process holding one of the locks; fails when none is held. It
# reads the kernel's lock table rather than trying a lock, since a probe that
# held one even briefly could make another apt fail.
apt_lock_holder() {
  local f inodes=()
  for f in "${APT_LOCKS[@]}"; do
    [ -e "$f" ] && inodes+=("$(stat -c %i "$f")")
  done
  ((${#inodes[@]})) || return 1
  # A line: "1: POSIX  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF";
  # those after "->" wait for a lock rather than hold it.
  awk -v inodes="${inodes[*]}" '
    BEGIN { n = split(inodes, list, " "); for (i = 1; i <= n; i++) wanted[list[i]] = 1 }
    $2 != "->" { split($6, id, ":"); if (id[3] in wanted) { print $5; found = 1; exit } }
    END { exit !found }' /proc/locks
}

apt_get() {
  local wait="${NUVREL_APT_WAIT:-300}" sudo=() holder status left
  local deadline=$((SECONDS + wait))
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  while :; do
    while holder="$(apt_lock_holder)" && ((SECONDS < deadline)); do
      ((APT_TOLD++)) || echo "${0##*/}: waiting for the package manager's lock, held by process $holder ($(cat "/proc/$holder/comm" 2>/dev/null || echo gone)), at most $wait s"
      sleep 1
    done
    left=$((deadline - SECONDS))
    ((left > 0)) || left=0
    status=0
    # sudo drops the caller's environment: the variable goes through env.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$left" "$@" || status=$?
    # Taken by another between our wait and apt-get's own attempt: wait again.
    if ((status == 100 && SECONDS < deadline)) && apt_lock_holder >/dev/null; then
      continue
    fi
    return "$status"
  done
}
