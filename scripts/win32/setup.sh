#!/usr/bin/env bash
# Prepare this (Debian bookworm) machine for the 32-bit Windows cross build:
#   * the i686 MinGW-w64 cross toolchain and 32-bit Wine (i386 multiarch),
#   * a 32-bit Windows libcurl DLL built from Debian's own curl source
#     package (Schannel TLS, HTTP/HTTPS only, no third-party DLLs),
#     installed into a cache prefix outside the source tree.
#
# Idempotent: a second run only checks a few files and returns.
#
# Environment:
#   KIV_WIN32_PREFIX  install prefix for libcurl    (default /opt/kivhttp-win32)
#   KIV_WIN32_CACHE   source download / build dir   (default ~/.cache/kivhttp-win32)
#   KIV_WIN32_FORCE=1 rebuild libcurl even if the stamp file matches
#
# The last line printed on stdout is the prefix; everything else goes to stderr.
set -euo pipefail

PREFIX="${KIV_WIN32_PREFIX:-/opt/kivhttp-win32}"
CACHE="${KIV_WIN32_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kivhttp-win32}"
HOST=i686-w64-mingw32
JOBS="$(nproc 2>/dev/null || echo 2)"

# libcurl configuration: HTTP/HTTPS over Schannel, nothing optional.
# (A change here changes the recipe hash in the stamp and forces a rebuild.)
CURL_CONFIGURE_ARGS=(
  --enable-shared --disable-static
  --with-schannel --disable-pthreads --enable-threaded-resolver
  --enable-ipv6 --enable-http --enable-proxy --enable-cookies
  --disable-manual
  --disable-ldap --disable-ldaps --disable-rtsp --disable-dict
  --disable-telnet --disable-tftp --disable-pop3 --disable-imap
  --disable-smb --disable-smtp --disable-gopher --disable-mqtt
  --disable-ftp --disable-file
  --without-zlib --without-brotli --without-zstd
  --without-libidn2 --without-libpsl --without-libssh2 --without-libssh
  --without-wolfssh --without-nghttp2 --without-nghttp3 --without-ngtcp2
  --without-quiche --without-msh3 --without-librtmp --without-libgsasl
  --without-ca-bundle --without-ca-path
  LDFLAGS=-static-libgcc
)
CURL_RECIPE="$(printf '%s\n' "$HOST" "${CURL_CONFIGURE_ARGS[@]}" | sha256sum | cut -c1-16)"

log() { printf '[win32-setup] %s\n' "$*" >&2; }

SUDO=
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
fi

# ---------------------------------------------------------------- packages --
PKGS=(g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
      wine wine32 dpkg-dev patch make googletest)

pkg_installed() {
  dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed
}

have_deb_src() {
  grep -Eqs '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}

# Add deb-src entries mirroring the enabled Debian "deb" entries, in a
# separate file so the machine's own files stay untouched.
add_deb_src() {
  local out=/etc/apt/sources.list.d/kivhttp-deb-src.sources tmp
  tmp="$(mktemp)"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    # deb822: copy each stanza that has Types: deb and a debian.org URI.
    awk -v RS= -v ORS='\n\n' '
      /(^|\n)Types:[^\n]*deb/ && /(^|\n)URIs:[^\n]*debian\.org/ {
        sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print
      }' "$f" >>"$tmp"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    # one-line style: deb [opts] URI suite components
    sed -nE 's/^[[:space:]]*deb([[:space:]]+.*debian\.org.*)$/deb-src\1/p' "$f" >>"$tmp.list"
  done 2>/dev/null || true
  if [ -s "$tmp" ]; then
    $SUDO install -m 0644 "$tmp" "$out"
  fi
  if [ -s "$tmp.list" ]; then
    $SUDO install -m 0644 "$tmp.list" /etc/apt/sources.list.d/kivhttp-deb-src.list
  fi
  rm -f "$tmp" "$tmp.list"
  have_deb_src || { log "could not derive a deb-src entry from the apt sources"; exit 1; }
}

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
if ! have_deb_src; then
  log "adding deb-src entries"
  add_deb_src
  need_update=1
fi
missing=()
for p in "${PKGS[@]}"; do
  pkg_installed "$p" || missing+=("$p")
done
# wine32 is an i386 package: check it explicitly.
pkg_installed wine32:i386 || missing+=(wine32:i386)
if [ "${#missing[@]}" -gt 0 ]; then
  need_update=1
fi
if [ "$need_update" -eq 1 ]; then
  log "apt-get update"
  $SUDO apt-get update -qq >&2
fi
if [ "${#missing[@]}" -gt 0 ]; then
  log "installing: ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# ----------------------------------------------------------------- libcurl --
# The stamp records what was built; a match with the installed files skips
# the whole build.
curl_src_version() {
  apt-cache showsrc curl 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -1
}

STAMP="$PREFIX/.kivhttp-libcurl.stamp"
stamp_ok() {
  [ "${KIV_WIN32_FORCE:-0}" != 1 ] || return 1
  [ -f "$STAMP" ] && [ -f "$PREFIX/lib/libcurl.dll.a" ] && [ -f "$PREFIX/include/curl/curl.h" ] \
    && ls "$PREFIX"/bin/libcurl*.dll >/dev/null 2>&1 \
    && grep -qx "recipe=$CURL_RECIPE" "$STAMP"
}

if stamp_ok; then
  log "libcurl already built: $(grep '^curl=' "$STAMP" | cut -d= -f2) (stamp $STAMP)"
  printf '%s\n' "$PREFIX"
  exit 0
fi

version="$(curl_src_version)"
[ -n "$version" ] || { log "apt-cache showsrc curl found nothing"; exit 1; }
log "building libcurl $version for $HOST into $PREFIX"

# sudo only for the prefix if it is not ours to write.
PSUDO=
if ! { mkdir -p "$PREFIX" 2>/dev/null && [ -w "$PREFIX" ]; }; then
  PSUDO=$SUDO
  $PSUDO mkdir -p "$PREFIX"
fi

work="$CACHE/curl-$version"
mkdir -p "$work"
srcdir="$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'curl-*' | head -1 || true)"
if [ -z "$srcdir" ] || [ ! -f "$work/.source-ok" ]; then
  rm -rf "${work:?}"/*
  (cd "$work" && apt-get source -qq curl >&2)
  srcdir="$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'curl-*' | head -1)"
  # Debian's last patches rename the library for its GnuTLS/NSS flavours:
  # take them back out (in reverse order) so we get plain libcurl.
  series="$srcdir/debian/patches/series"
  mapfile -t applied < <(grep -Ev '^[[:space:]]*(#|$)' "$series" | awk '{print $1}')
  for ((i = ${#applied[@]} - 1; i >= 0; i--)); do
    p="${applied[$i]}"
    case "$p" in
      90_gnutls*|99_nss*|*/90_gnutls*|*/99_nss*)
        log "reverting Debian patch $p"
        patch -d "$srcdir" -p1 -R -s -N <"$srcdir/debian/patches/$p" >&2
        ;;
    esac
  done
  touch "$work/.source-ok"
fi

build="$work/build-$HOST"
rm -rf "$build"
mkdir -p "$build"
(
  cd "$build"
  # Plain (win32 thread model) gcc: the C library then needs no
  # libwinpthread; -static-libgcc keeps libgcc_s_dw2-1.dll out.
  "$srcdir/configure" --host="$HOST" --build="$(gcc -dumpmachine)" \
    --prefix="$PREFIX" "${CURL_CONFIGURE_ARGS[@]}" >"$build/configure.log" 2>&1 \
    || { tail -40 "$build/configure.log" >&2; exit 1; }
  make -j"$JOBS" >"$build/make.log" 2>&1 || { tail -60 "$build/make.log" >&2; exit 1; }
  # Replace only what a previous run installed (never the prefix itself).
  $PSUDO rm -rf "$PREFIX/include/curl" "$PREFIX"/lib/libcurl* "$PREFIX/lib/pkgconfig/libcurl.pc" \
    "$PREFIX"/bin/libcurl*.dll "$PREFIX/bin/curl.exe" "$PREFIX/bin/curl-config" "$STAMP"
  $PSUDO make install >"$build/install.log" 2>&1 || { tail -40 "$build/install.log" >&2; exit 1; }
)
$PSUDO rm -f "$PREFIX"/lib/libcurl*.la
$PSUDO rm -rf "$PREFIX/share/aclocal/libcurl.m4" "$PREFIX/share/man"
$PSUDO rmdir "$PREFIX/share/aclocal" "$PREFIX/share" 2>/dev/null || true

dll="$(find "$PREFIX/bin" -maxdepth 1 -name 'libcurl*.dll' -printf '%f\n' | head -1)"
# Only system DLLs may be imported (no MinGW runtime, no third-party library).
imports="$($HOST-objdump -p "$PREFIX/bin/$dll" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')"
log "$dll imports: $imports"
for d in $imports; do
  case "${d,,}" in
    kernel32.dll|advapi32.dll|crypt32.dll|ws2_32.dll|bcrypt.dll|msvcrt.dll|secur32.dll|\
    iphlpapi.dll|normaliz.dll|wldap32.dll|user32.dll|shell32.dll|ole32.dll|api-ms-win-*) ;;
    *) log "unexpected non-system import: $d"; exit 1 ;;
  esac
done

{
  echo "recipe=$CURL_RECIPE"
  echo "curl=$version"
  echo "host=$HOST"
  echo "dll=$dll"
  echo "implib=libcurl.dll.a"
  echo "imports=$imports"
} | $PSUDO tee "$STAMP" >/dev/null
log "done"
printf '%s\n' "$PREFIX"
