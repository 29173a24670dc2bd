#!/usr/bin/env bash
# CI stage: the README's set-up on a fresh Debian 12 machine. Makes a minimal Debian 12 root
# (debootstrap --variant=minbase, nothing else installed), clones this repository's HEAD into it
# and runs there, inside chroot, the two commands the README gives a new user:
#   scripts/demo.sh
#   scripts/test.sh --quick
# The development machines and CI have every package installed already, so a package the set-up
# forgets, or a test that leans on something only such a machine has (a CA store, say), shows
# only here. The sanitizer and fuzz stages run outside; inside, the optimised build is enough.
#
# By hand, as root: bash .ci/fresh_root.sh   (it tests the committed HEAD, not the work tree)
#
# Kept between runs under /var/cache/quillstone-ci (QS_FRESH_ROOT_CACHE):
#   - a tarball of the root exactly as debootstrap left it, remade after 30 days or when the
#     mirror changes;
#   - apt's downloaded .deb files, bound over the root's /var/cache/apt/archives.
# Never a root that a set-up has already filled: each run unpacks the tarball into a new directory
# under /var/tmp/quillstone-ci (QS_FRESH_ROOT_TMP) and deletes it at the end.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${QS_FRESH_ROOT_CACHE:-/var/cache/quillstone-ci}
tmp_base=${QS_FRESH_ROOT_TMP:-/var/tmp/quillstone-ci}
suite=bookworm
max_age_days=30
lock_wait_seconds=2700

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh root: needs root (debootstrap, mount, chroot); run it with sudo" >&2
  exit 2
fi

stage_start=$(date +%s)
timings=()

# step NAME COMMAND...: runs the command, prints and records how long it took.
step() {
  local name=$1
  shift
  local start
  start=$(date +%s)
  echo "== fresh root: $name"
  # In the background and waited for, so that INT or TERM runs the clean-up at once instead of
  # after the step.
  "$@" &
  wait "$!"
  local took=$(($(date +%s) - start))
  timings+=("$(printf '  %-32s %5d s' "$name" "$took")")
  echo "== fresh root: $name took ${took} s"
}

# The first URI of the host's Debian sources whose path ends in the given name ("debian",
# "debian-security"), so the root uses the mirror the host uses.
host_uri() {
  local name=$1 files=() file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] && files+=("$file")
  done
  [ ${#files[@]} -eq 0 ] && return 0
  awk -v name="$name" '
    function take(uri) {
      sub(/\/+$/, "", uri)
      if (!found && uri ~ ("/" name "$")) { print uri; found = 1 }
    }
    /^[[:space:]]*#/ { next }
    $1 == "URIs:" { for (i = 2; i <= NF; i++) take($i) }
    $1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { take($i); break } }
  ' "${files[@]}"
}

# Mount points at or below a directory, as this mount namespace sees them.
mounts_under() {
  local dir
  dir=$(realpath -m "$1")
  awk -v dir="$dir" '{ m = $5; gsub(/\\040/, " ", m); if (m == dir || index(m, dir "/") == 1) print m }' \
    /proc/self/mountinfo
}

# Unmounts everything at or below a directory, deepest first; a mount that is busy is detached
# lazily when `lazy` is given. Stacked mounts take more than one round.
unmount_under() {
  local dir=$1 lazy=${2:-}
  local mount
  for _ in 1 2 3 4 5; do
    [ -z "$(mounts_under "$dir")" ] && return 0
    while IFS= read -r mount; do
      umount "$mount" 2>/dev/null || { [ -n "$lazy" ] && umount -l "$mount" 2>/dev/null; } || true
    done < <(mounts_under "$dir" | sort -r)
  done
  [ -z "$(mounts_under "$dir")" ]
}

# Deletes a directory, refusing while anything is mounted inside it: with /dev bound in, rm -rf
# would delete the host's device nodes.
remove_tree() {
  local dir=$1 left
  left=$(mounts_under "$dir")
  if [ -n "$left" ]; then
    echo "fresh root: not deleting $dir; still mounted there:" >&2
    echo "$left" >&2
    return 1
  fi
  rm -rf --one-file-system -- "$dir"
}

# Ends the processes this stage started inside a root (a command that outlived a failure), by id.
stop_processes_in() {
  local dir proc root
  dir=$(realpath -m "$1")
  for proc in /proc/[0-9]*; do
    root=$(readlink "$proc/root" 2>/dev/null) || continue
    if [ "$root" = "$dir" ] || [ "${root#"$dir"/}" != "$root" ]; then
      kill -KILL "${proc#/proc/}" 2>/dev/null || true
    fi
  done
}

work=""
cleanup() {
  local status=$?
  set +e
  if [ -n "$work" ] && [ -d "$work" ]; then
    stop_processes_in "$work"
    if ! unmount_under "$work" lazy; then
      echo "fresh root: could not unmount everything under $work" >&2
    fi
    remove_tree "$work" || status=1
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$cache/apt-archives/partial" "$tmp_base"
tmp_base=$(realpath "$tmp_base")

# One run at a time on a machine. The lock is inherited by every command of the run, so a run
# killed while its commands go on still holds it; whatever is left under $tmp_base once the lock
# is free belongs to no live run.
exec 9>"$cache/lock"
if ! flock -n 9; then
  echo "fresh root: waiting for another run to finish (at most ${lock_wait_seconds} s)"
  flock -w "$lock_wait_seconds" 9
fi
for stale in "$tmp_base"/run.*; do
  [ -d "$stale" ] || continue
  echo "fresh root: removing $stale, left by a run that did not finish"
  # No lazy unmount here: a mount that is still busy keeps its directory.
  unmount_under "$stale" || true
  remove_tree "$stale" || echo "fresh root: leaving $stale in place" >&2
done

if ! command -v debootstrap >/dev/null; then
  echo "fresh root: installing debootstrap"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

mirror=${QS_FRESH_ROOT_MIRROR:-$(host_uri debian)}
mirror=${mirror:-http://deb.debian.org/debian}
security=$(host_uri debian-security)
security=${security:-http://deb.debian.org/debian-security}
arch=$(dpkg --print-architecture)
pristine=$cache/$suite-minbase-$arch.tar.gz
work=$(mktemp -d "$tmp_base/run.XXXXXX")
root=$work/root
head=$(git -C "$repo" rev-parse HEAD)
echo "fresh root: Debian $suite minbase from $mirror, testing $head"

make_pristine() {
  local build=$work/debootstrap
  debootstrap --variant=minbase --arch "$arch" "$suite" "$build" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    {
      tail -n 30 "$work/debootstrap.log" >&2
      return 1
    }
  unmount_under "$build"
  tar --numeric-owner -C "$build" -czf "$pristine.new" .
  mv -f "$pristine.new" "$pristine"
  echo "$mirror" >"$pristine.mirror"
  remove_tree "$build"
}

if [ -s "$pristine" ] && [ "$(cat "$pristine.mirror" 2>/dev/null)" = "$mirror" ] &&
  [ -z "$(find "$pristine" -mtime +"$max_age_days")" ]; then
  echo "fresh root: pristine root from $(date -r "$pristine" +%F)"
else
  step "debootstrap (pristine root)" make_pristine
fi

unpack_root() {
  mkdir "$root"
  tar --numeric-owner -C "$root" -xpzf "$pristine"
  # The host's resolver; removed first in case the root's file is a link that points outside.
  rm -f "$root/etc/resolv.conf"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # What a Debian 12 installation has: the release, its updates and security updates.
  cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
  git clone --quiet --no-hardlinks --no-checkout "$repo" "$root/root/quillstone"
  git -C "$root/root/quillstone" fetch --quiet "$repo" HEAD
  git -C "$root/root/quillstone" checkout --quiet --detach FETCH_HEAD
  if [ "$(git -C "$root/root/quillstone" rev-parse HEAD)" != "$head" ]; then
    echo "fresh root: HEAD moved while cloning" >&2
    return 1
  fi
}
step "unpack root, clone HEAD" unpack_root

# /proc, /dev (with /dev/pts and /dev/shm, which tests write to) and apt's package cache are
# bound in only now, and each bind is made private so that nothing mounted under it reaches the
# host's tree.
for dir in proc dev dev/pts dev/shm var/cache/apt/archives; do
  from=/$dir
  [ "$dir" = var/cache/apt/archives ] && from=$cache/apt-archives
  mkdir -p "$root/$dir"
  mount --bind "$from" "$root/$dir"
  mount --make-private "$root/$dir"
done

# in_root COMMAND...: runs a command in the clone inside the root, with the environment of a
# fresh login rather than this host's.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c 'cd /root/quillstone && exec "$@"' bash "$@" </dev/null
}

run_demo() { in_root scripts/demo.sh 2>&1 | tee "$work/demo.log"; }
run_tests() { in_root scripts/test.sh --quick 2>&1 | tee "$work/tests.log"; }
step "scripts/demo.sh (with the set-up)" run_demo
step "scripts/test.sh --quick" run_tests
# Drops the downloaded packages that the mirror no longer has, so the cache stays bounded.
in_root apt-get autoclean -qq

install_time=$(grep -o 'setup: installed .* in [0-9]* s' "$work/demo.log" | tail -n 1 || true)
summary=$(awk '/tests passed, .* tests failed out of/ { keep = "" } { keep = keep $0 "\n" } END { printf "%s", keep }' \
  "$work/tests.log" | awk '/tests passed, .* tests failed out of/,/Total Test time/')

stop_processes_in "$work"
unmount_under "$work" lazy
remove_tree "$work"
work=""

echo "== fresh root: timings"
printf '%s\n' "${timings[@]}"
[ -n "$install_time" ] && echo "  (of the demo step, $install_time)"
printf '  %-32s %5d s\n' "whole stage" "$(($(date +%s) - stage_start))"
echo "== fresh root: ctest summary of scripts/test.sh --quick inside the root"
echo "$summary"
