# shellcheck shell=bash
# Debian roots for tools/build-portable and tools/distro-matrix: a Debian release of one's
# choosing, made with mmdebstrap from the mirror this machine's own apt sources use, and kept
# under the build folder between runs. Sourced by tools/*; needs root.

# Prints the Debian mirror and the security mirror this machine's apt sources name, as two
# lines, each a base URI ending in "/".
debian_mirrors() {
  local mirror security targets
  # shellcheck disable=SC2016  # apt's own fields
  targets=$(apt-get indextargets --format '$(LABEL) $(REPO_URI)')
  mirror=$(awk '$1 == "Debian" { print $2; exit }' <<<"$targets")
  security=$(awk '$1 == "Debian-Security" { print $2; exit }' <<<"$targets")
  if [ -z "$mirror" ]; then
    echo "No Debian mirror in this machine's apt sources (run apt-get update first)" >&2
    return 1
  fi
  # Without a security entry of its own, the security archive sits beside the main one.
  [ -n "$security" ] || security="${mirror%/debian/}/debian-security/"
  printf '%s\n%s\n' "$mirror" "$security"
}

# Lets this machine run the programs of the Debian architecture $1 through qemu-user, registered
# with binfmt_misc (whose file system is mounted when it is not): a root of that architecture
# needs it to set itself up, and its programs to run.
ensure_emulation() {
  local qemu=$1
  [ "$qemu" != arm64 ] || qemu=aarch64
  ensure_packages qemu-user-static binfmt-support
  mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ] || update-binfmts --enable "qemu-$qemu"
}

# debian_root [--architectures LIST] DIR-PREFIX SUITE VARIANT [PACKAGE...] [-- EXTRA-SOURCE-LINE...]
# Makes (or finds, when made before) a root of Debian SUITE with mmdebstrap's VARIANT and the
# given packages, and prints its path. LIST (mmdebstrap's: "arm64", or "amd64,arm64" for a root
# of this machine's kind that also installs arm64 packages, named PACKAGE:arm64) is this
# machine's architecture unless given; a root of another runs its programs through qemu-user.
# An extra source line may name @MIRROR@ and @SECURITY@ for this machine's mirrors. The path is DIR-PREFIX-<key>, the key made from everything that
# shapes the root, so a changed list makes a new root and an unchanged one is reused. Older
# roots of the same prefix are removed. A root is made under a temporary name and renamed when
# complete, so an interrupted run leaves no half-made root to be taken for a whole one.
debian_root() {
  local architectures
  architectures=$(dpkg --print-architecture)
  [ "$1" != --architectures ] || { architectures=$2; shift 2; }
  local architecture
  for architecture in ${architectures//,/ }; do
    [ "$architecture" = "$(dpkg --print-architecture)" ] || ensure_emulation "$architecture" >&2
  done
  local prefix=$1 suite=$2 variant=$3
  shift 3
  local packages=() sources=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do packages+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  sources=("$@")
  local mirror security
  { read -r mirror; read -r security; } < <(debian_mirrors)
  local lines=("deb ${mirror} ${suite} main" "deb ${security} ${suite}-security main")
  # Debian 11 and 12 still carry point-release fixes in -updates; later releases too.
  lines+=("deb ${mirror} ${suite}-updates main")
  local line
  for line in "${sources[@]}"; do
    line=${line//@MIRROR@/$mirror}
    lines+=("${line//@SECURITY@/$security}")
  done
  local key
  key=$(printf '%s\n' "$suite" "$variant" "${packages[@]}" "${sources[@]}" |
    { cat; [ "$architectures" = "$(dpkg --print-architecture)" ] || echo "$architectures"; } |
    sha256sum | cut -c1-12)
  local dir="${prefix}-${key}"
  if [ ! -d "$dir" ]; then
    local old
    for old in "${prefix}"-????????????; do
      [ -d "$old" ] && [ "$old" != "$dir" ] && rm -rf --one-file-system -- "$old"
    done
    mkdir -p "$(dirname "$prefix")"
    rm -rf --one-file-system -- "$dir.partial"
    local include
    include=$(IFS=,; echo "${packages[*]}")
    # mmdebstrap DIR SOURCE-LINE...: the root, or a failure that leaves nothing behind.
    make_root() {
      local target=$1
      shift
      mmdebstrap --quiet --variant="$variant" --architectures="$architectures" \
        ${include:+--include="$include"} --aptopt='Acquire::Retries "3"' "$suite" "$target" \
        "$@" >&2 || { rm -rf --one-file-system -- "$target"; return 1; }
    }
    echo "Making a Debian $suite root ($variant${include:+, with $include}) in $dir" >&2
    # A mirror may hold the security archive for some architectures only (this machine's); the
    # packages of one architecture must all be of one version: such a root is made of the
    # release and its updates alone.
    if ! make_root "$dir.partial" "${lines[@]}"; then
      [ "$architectures" != "$(dpkg --print-architecture)" ] || return 1
      echo "Making it again without the security archive, which may lack $architectures" >&2
      make_root "$dir.partial" "${lines[0]}" "${lines[@]:2}" || return 1
    fi
    mv -- "$dir.partial" "$dir"
  fi
  printf '%s\n' "$dir"
}
