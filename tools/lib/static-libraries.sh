# shellcheck shell=bash disable=SC2016,SC2086  # perl and sed in single quotes; $small, flags
# The recipe of the portable installer's static libraries, run by tools/build-portable inside its
# Debian 11 root as "bash -c RECIPE static-libraries PREFIX HOST", for HOST x86_64-linux-gnu or,
# cross-compiled, aarch64-linux-gnu: libcurl with nghttp2 for HTTP/2 and
# OpenSSL 3.5 (all three from Debian 13's source packages, Debian's patches applied), and GLib
# rebuilt from the Debian 11 source of the root's own libglib2.0-dev. Each is built with only what
# the installer uses, each function and datum in a section of its own, so that the linker leaves
# out what the installer never calls. The recipe's text is part of the libraries' cache key.
#
# The same sources give the same archives wherever and whenever they are built: the build folder
# is mapped out of the objects, and the time each library records is its Debian changelog's.
# PREFIX/sources.txt names every source file fetched, with its SHA-256, for the build manifest.
set -eu
prefix=$1 host=$2
work=/tmp/static-libraries
rm -rf "$work" && mkdir -p "$work" && cd "$work"
# The builds' own chatter goes to a log, shown when a step fails.
exec 3>&2 >"$work.log" 2>&1
trap 'echo "Building the static libraries failed; the end of $work.log:" >&3; tail -n 40 "$work.log" >&3' ERR
mkdir -p "$prefix/lib/pkgconfig"
: >"$prefix/sources.txt"
# The newest version of each that the mirror holds (an index may list a release before the
# mirror has its files); GLib's of the root's own release (its headers are the root's).
glib=$(dpkg-query -W -f='${source:Upstream-Version}' \
  "libglib2.0-dev:$(dpkg-architecture -t"$host" -qDEB_HOST_ARCH 2>/dev/null)")
# A mirror may lack the .dsc of a source whose tarballs it has (apt checks each against the
# index as it fetches it): those are unpacked by hand, Debian's patches applied in order.
unpack_by_hand() {  # PACKAGE VERSION
  local release=${2#*:} dir
  dir="$work/$1-${release%-*}"
  [ -f "$work/$1_${release%-*}.orig.tar.xz" ] || [ -f "$work/$1_${release%-*}.orig.tar.gz" ] ||
    return 1
  [ -f "$work/$1_$release.debian.tar.xz" ] || return 1
  mkdir -p "$dir" && tar -xf "$work/$1_${release%-*}".orig.tar.* -C "$dir" --strip-components=1 &&
    tar -xf "$work/$1_$release.debian.tar.xz" -C "$dir" &&
    sed '/^#/d; /^$/d' "$dir/debian/patches/series" | while read -r patch; do
      patch -s -d "$dir" -p1 <"$dir/debian/patches/$patch" || exit 1
    done
}
for package in glib2.0 openssl nghttp2 curl; do
  versions=$(apt-cache showsrc "$package" | awk '/^Version:/ { print $2 }' | sort -rVu)
  [ "$package" != glib2.0 ] || versions=$(grep "^$glib-" <<<"$versions")
  for version in $versions; do
    apt-get source -qq "$package=$version" >/dev/null 2>&1 && break
    unpack_by_hand "$package" "$version" && break
    rm -rf "$work"/"$package"[-_]*
  done
  ls -d "$work/$package"-*/ >/dev/null || { echo "No source of $package could be fetched" >&3; exit 1; }
  echo "Building $package $version" >&3
  (cd "$work" && sha256sum "$package"_*) | sed "s|^|$package $version |" >>"$prefix/sources.txt"
done
# The time each library records, from its own changelog.
epoch() { dpkg-parsechangelog -l "$work/$1"-*/debian/changelog -STimestamp; }
# Small code, without unwind tables (nothing unwinds through C), each function in a section of
# its own for the linker to leave out.
small="-Os -fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fdata-sections \
-ffile-prefix-map=$work/="
# How each build is told its target when it is not this machine's.
if [ "$host" = "$(dpkg-architecture -qDEB_BUILD_GNU_TYPE)" ]; then
  openssl=(linux-x86_64) configure=() cmake=() meson=()
else
  openssl=(linux-aarch64 "--cross-compile-prefix=$host-") configure=("--host=$host")
  cmake=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 "-DCMAKE_C_COMPILER=$host-gcc")
  # Meson's probes run arm64 programs through qemu-user (binfmt_misc), as the root can.
  printf '%s\n' "[binaries]" "c = '$host-gcc'" "cpp = '$host-g++'" "ar = '$host-ar'" \
    "strip = '$host-strip'" "pkgconfig = '$host-pkg-config'" \
    "[properties]" "needs_exe_wrapper = false" \
    "[host_machine]" "system = 'linux'" "cpu_family = 'aarch64'" "cpu = 'aarch64'" \
    "endian = 'little'" >"$work/cross.ini"
  meson=(--cross-file "$work/cross.ini")
fi

cd "$work"/glib2.0-*/
# Debian's own archive is built without sections per function: the linker then takes in every
# object file the installer touches whole, with GLib's Unicode tables. Only the core library is
# built; its headers and pkg-config file stay the root's, from the same source (the window helper
# links the root's GLib through GTK's).
SOURCE_DATE_EPOCH=$(epoch glib2.0) CFLAGS="$small" meson setup build "${meson[@]}" \
  --buildtype=plain --default-library=static -Dselinux=disabled -Dlibmount=disabled \
  -Dxattr=false -Dman=false -Dgtk_doc=false -Dinstalled_tests=false -Dinternal_pcre=false
SOURCE_DATE_EPOCH=$(epoch glib2.0) ninja -C build glib/libglib-2.0.a
cp build/glib/libglib-2.0.a "$prefix/lib/"

cd "$work"/openssl-*/
# Only what a TLS 1.2 and 1.3 client of a current server uses: ECDHE key exchange (X25519, the
# NIST curves and the hybrid with ML-KEM), AES-GCM and ChaCha20-Poly1305, RSA and ECDSA
# certificates, with the assembler code for AES (AES-NI, or the ARMv8 instructions), SHA,
# ChaCha20, Poly1305 and X25519. Left out,
# besides the old ciphers and protocols: finite-field Diffie-Hellman (a server that offers only
# DHE gets a handshake failure), pre-shared keys, engines, legacy providers, the AVX-512 AES code
# and the precomputed P-256 tables (700 and 150 kB, for speeds no download here needs: P-256
# runs on the generic, constant-time code). No configuration file is loaded: the system's
# openssl.cnf is written for the system's own OpenSSL and may name providers this one lacks.
sed -i '/^open OUT/i $avx512vaes = 0;' crypto/modes/asm/aes-gcm-avx512.pl \
  crypto/aes/asm/aesni-xts-avx512.pl
sed -i 's/^\(  \$ECASM_\(x86_64\|aarch64\)=\)ecp_nistz256\.c ecp_nistz256-[a-z0-9_]*\.[sS]$/\1/;
  s/^\(  \$ECDEF_\(x86_64\|aarch64\)=\)ECP_NISTZ256_ASM$/\1/' crypto/ec/build.info
SOURCE_DATE_EPOCH=$(epoch openssl) ./Configure "${openssl[@]}" --prefix="$prefix" --libdir=lib \
  --openssldir=/etc/ssl no-shared no-module no-autoload-config no-apps no-docs no-tests \
  no-engine no-legacy no-comp no-ssl3 no-tls1 no-tls1_1 no-dtls no-dgram no-srp no-quic \
  no-ui-console no-capieng no-afalgeng no-async no-aria no-bf no-blake2 no-camellia no-cast \
  no-cmac no-cmp no-cms no-ct no-des no-dh no-dsa no-ec2m no-gost no-http no-idea no-md4 \
  no-mdc2 no-multiblock no-nextprotoneg no-ocb no-ocsp no-psk no-rc2 no-rc4 no-rc5 no-rmd160 \
  no-scrypt no-secure-memory no-seed no-siphash no-siv no-sm2 no-sm3 no-sm4 no-srtp \
  no-ssl-trace no-thread-pool no-tls-deprecated-ec no-integrity-only-ciphers no-ts \
  no-whirlpool no-argon2 no-slh-dsa no-ml-dsa no-rfc3779 no-filenames $small
SOURCE_DATE_EPOCH=$(epoch openssl) make -s -j2 build_libs
make -s install_dev

cd "$work"/nghttp2-*/
# HTTP/2's framing and header compression, the library alone.
cmake -S . -B build "${cmake[@]}" -DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS="$small" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DENABLE_LIB_ONLY=ON \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF -DENABLE_DOC=OFF
SOURCE_DATE_EPOCH=$(epoch nghttp2) cmake --build build -j2
cmake --install build

cd "$work"/curl-*/
# HTTP and HTTPS alone, with HTTP/2 and proxies; Basic authentication only, as the installer asks
# for no other (a proxy's credentials come in its URL); no content encodings, as the installer
# asks for none. The certificates are the system's, found by the installer itself
# (host/certificate_store.h), else OpenSSL's default place.
SOURCE_DATE_EPOCH=$(epoch curl) CFLAGS="$small" PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
  ./configure "${configure[@]}" --prefix="$prefix" --disable-shared --enable-static \
  --with-openssl="$prefix" \
  --with-nghttp2="$prefix" --without-zlib --without-ca-bundle --without-ca-path \
  --with-ca-fallback --disable-dict --disable-file --disable-ftp --disable-gopher \
  --disable-imap --disable-ldap --disable-ldaps --disable-mqtt --disable-pop3 --disable-rtsp \
  --disable-smb --disable-smtp --disable-telnet --disable-tftp --disable-websockets \
  --disable-ipfs --disable-manual --disable-docs --disable-libcurl-option --disable-ntlm \
  --disable-kerberos-auth --disable-negotiate-auth --disable-digest-auth --disable-bearer-auth \
  --disable-aws --disable-unix-sockets --disable-cookies --disable-alt-svc --disable-hsts \
  --disable-doh --disable-mime --disable-form-api --disable-netrc --disable-tls-srp \
  --disable-bindlocal --disable-get-easy-options --disable-progress-meter \
  --disable-sha512-256 --disable-ssls-export --without-libpsl --without-brotli --without-zstd \
  --without-libidn2 --without-librtmp --without-libssh2 --without-libssh --without-nghttp3 \
  --without-ngtcp2 --without-gssapi --without-libgsasl
make -s -j2 -C lib libcurl.la
make -s -C lib install-libLTLIBRARIES
make -s -C include install
make -s install-pkgconfigDATA

rm -rf "$work" "$work.log"
