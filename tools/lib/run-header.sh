# shellcheck shell=sh disable=SC2154
# The start of a one-file installer ("Setup.run"): makeself reads this file to write the header
# of the file it makes (tools/make-bundle --run), with its own figures filled in: the header's
# length in lines (SKIP), the payload's SHA-256 (SHAsum), the label and the program to start,
# and tools/make-bundle's INSTALLER_MACHINE, the processor the installer is built for.
#
# The header checks the payload, unpacks it into a private directory where programs may run,
# and replaces itself with the installer: every argument, the standard streams, the signals
# and the exit status are the installer's own. A remover waits for the installer to end,
# however it ends (but for SIGKILL), and deletes the unpacked copy.
cat <<EOF >"$archname"
#!/bin/sh
skip=$SKIP
# sh runs a script as it reads it: a file cut short within these lines would run what came of
# them, and end there as though all went well. Read from a pipe (curl … | sh), it has no file
# to unpack from.
[ -f "\$0" ] && [ "\$(head -n "\$skip" -- "\$0" | wc -l)" -eq "\$skip" ] || {
  if [ -f "\$0" ]; then
    echo "\$0 is damaged: it ends before its contents. Nothing was run." >&2
  else
    echo "The installer cannot run from a pipe: save it to a file and run that. Nothing was run." >&2
  fi
  echo "Installation failed." >&2
  exit 255
}
# An installer in one file, made with makeself $MS_VERSION. Run it with sh or as a program;
# every argument goes to the installer as it is.
sha256=$SHAsum
label='$LABEL'
program='$SCRIPT'
machine='$INSTALLER_MACHINE'
EOF
cat <<'EOF' >>"$archname"
# Made for another kind of processor, it says so, rather than leave the shell's "Exec format
# error" (uname -m names the processor as the installer's ELF header does, tools/make-bundle).
kind() { case $1 in x86_64) echo x86-64 ;; aarch64) echo arm64 ;; *) echo "$1" ;; esac; }
if [ -n "$machine" ] && [ "$(uname -m)" != "$machine" ]; then
  echo "$label is made for $(kind "$machine") computers and cannot run on this one" \
    "($(kind "$(uname -m)")). Nothing was run." >&2
  exit 255
fi
# The unpacked copy is private; the installer gets the user's own umask back.
mask=$(umask)
umask 077
file=$0
offset=$(head -n "$skip" -- "$file" | wc -c)
payload() { tail -c +"$((offset + 1))" -- "$file"; }

# Interrupted before the installer starts (Ctrl-C, SIGTERM, SIGHUP): the unpacked copy goes,
# and the run ends with the signal's usual status. The shell runs a trap once the command in
# hand (the checksum, the unpack) has ended.
dir= base=
interrupted() {
  [ -z "$dir" ] || rm -rf "$dir"
  # A signal that ended mktemp after it made the directory, before it said which.
  [ -z "$base" ] || rm -rf "$base/installer.$$."*
  echo "$label was interrupted before the installer started; nothing was installed or left behind." >&2
  exit "$1"
}
trap 'interrupted 130' INT
trap 'interrupted 143' TERM
trap 'interrupted 129' HUP

if [ "$(payload | sha256sum | cut -b-64)" != "$sha256" ]; then
  echo "$file is damaged: its contents do not match its checksum. Nothing was run." >&2
  echo "Installation failed." >&2
  exit 255
fi

# Whether only this user and root can change the directory $1 and every one above it: another
# user who could rename it could put programs of theirs in the unpacked copy's place.
me=$(id -u)
private() {
  while info=$(stat -c '%u %a' -- "$1" 2>/dev/null); do
    { [ "${info% *}" = "$me" ] || [ "${info% *}" = 0 ]; } || return 1
    # Not writable by group or others, unless sticky (as /tmp).
    [ $((0${info#* } & 022)) -eq 0 ] || [ $((0${info#* } & 01000)) -ne 0 ] || return 1
    [ "$1" = / ] && return 0
    set -- "$(dirname -- "$1")"
  done
  return 1
}

# TMPDIR (else /tmp) first; where that is full, mounted noexec or not private, the next place
# that is none of these.
for base in "${TMPDIR:-/tmp}" /tmp "${XDG_RUNTIME_DIR:-}" "${HOME:+$HOME/.cache}" /var/tmp \
  /dev/shm; do
  # A fresh account has no ~/.cache yet: it is made, in a home of the user's own.
  [ "$base" != "${HOME:-}/.cache" ] || [ ! -O "$HOME" ] || mkdir -m 0700 -- "$base" 2>/dev/null
  [ -n "$base" ] && base=$(CDPATH= cd -P -- "$base" 2>/dev/null && pwd) && private "$base" || continue
  dir=$(mktemp -d "$base/installer.$$.XXXXXX" 2>/dev/null) || continue
  printf '#!/bin/sh\n' >"$dir/.probe" && chmod 0700 "$dir/.probe" &&
    "$dir/.probe" 2>/dev/null && rm -f "$dir/.probe" &&
    payload | gzip -cd | tar -xf - -C "$dir" 2>/dev/null && break
  rm -rf "$dir"
  dir=
done
if [ -z "$dir" ]; then
  echo "$label could not be unpacked: no temporary directory where it may run" \
    "(TMPDIR, /tmp, XDG_RUNTIME_DIR, ~/.cache, /var/tmp, /dev/shm)." >&2
  echo "Installation failed." >&2
  exit 255
fi

# The installer holds the only writer of this pipe: the remover reads it to its end, which
# comes when the installer has ended. Where no named pipe can be made, the remover watches the
# installer's process id instead (this shell's, which the installer keeps), five times a second
# where sleep takes fractions.
installer=$$
if mkfifo "$dir/.running" 2>/dev/null; then
  (
    trap '' INT TERM HUP QUIT TSTP
    cat "$dir/.running"
    rm -rf "$dir"
  ) </dev/null >/dev/null 2>&1 &
  exec 9>"$dir/.running"
else
  (
    trap '' INT TERM HUP QUIT TSTP
    while kill -0 "$installer" 2>/dev/null; do sleep 0.2 2>/dev/null || sleep 1; done
    rm -rf "$dir"
  ) </dev/null >/dev/null 2>&1 &
  exec 9>"$dir/.running"
fi
umask "$mask"
# The installer removes the copy itself at its end; the remover is for a run that is killed.
# Descriptor 9, open on the copy's ".running", proves the name: an environment passed on
# cannot make the installer remove any other directory.
# The installer makes its temporary directory in the copy too, where there was room (TMPDIR may
# be full); the remover takes it along. The agent gets the user's own TMPDIR.
export VL_INTERNAL_UNPACKED_COPY="$dir" VL_INTERNAL_TMPDIR="$dir"
exec "$dir/$program" "$@"
EOF
