#!/bin/sh
# Signs one Windows program in place with Authenticode (osslsigncode): the
# package target runs it on textsnap.exe, and makensis on the uninstaller
# (!uninstfinalize, before the installer takes it in) and on the installer
# (!finalize). What to sign with comes from the build's configuration:
#   TS_SIGN_PKCS12          the certificate and its key (.p12 / .pfx)
#   TS_SIGN_PASSWORD_FILE   a file whose first line is the password, or else
#   TS_SIGN_PASSWORD_ENV    the name of an environment variable holding it
#                           (neither set or found: the file has no password)
#   TS_SIGN_TIMESTAMP       an RFC 3161 time-stamp server's URL (optional)
#   TS_SIGN_PUBLISHER       the publisher the program and installer name: the
#                           certificate must be issued to it (CN or O)
# usage: sign.sh FILE
set -eu
file=$1
: "${TS_SIGN_PKCS12:?no certificate configured}"
[ -f "$TS_SIGN_PKCS12" ] || { echo "sign.sh: no certificate file $TS_SIGN_PKCS12" >&2; exit 1; }

# The password never appears on a command line (every local user could read
# it there): osslsigncode and openssl read it from a file only we can read.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=$work/password
(
  umask 077
  if [ -n "${TS_SIGN_PASSWORD_FILE:-}" ]; then
    head -n 1 "$TS_SIGN_PASSWORD_FILE" | tr -d '\r\n' >"$pass"
  elif [ -n "${TS_SIGN_PASSWORD_ENV:-}" ] && eval "[ -n \"\${$TS_SIGN_PASSWORD_ENV+set}\" ]"; then
    eval "printf '%s' \"\${$TS_SIGN_PASSWORD_ENV}\"" >"$pass"
  else
    : >"$pass"
  fi
)

# The certificate's subject must name the publisher, or Windows would show a
# name the program and the installer do not carry.
if [ -n "${TS_SIGN_PUBLISHER:-}" ]; then
  subject=$( (openssl pkcs12 -in "$TS_SIGN_PKCS12" -passin "file:$pass" -nokeys -clcerts 2>/dev/null ||
    openssl pkcs12 -legacy -in "$TS_SIGN_PKCS12" -passin "file:$pass" -nokeys -clcerts 2>/dev/null) |
    openssl x509 -noout -subject -nameopt multiline 2>/dev/null) || {
    echo "sign.sh: cannot read the certificate in $TS_SIGN_PKCS12 (wrong password?)" >&2
    exit 1
  }
  name_of() { printf '%s\n' "$subject" | sed -n "s/^ *$1 *= *//p" | head -n 1; }
  if [ "$(name_of commonName)" != "$TS_SIGN_PUBLISHER" ] && [ "$(name_of organizationName)" != "$TS_SIGN_PUBLISHER" ]; then
    echo "sign.sh: the certificate is issued to '$(name_of commonName)', not to the publisher '$TS_SIGN_PUBLISHER'" >&2
    echo "         (configure -DTEXTSNAP_PUBLISHER=... to the certificate's name)" >&2
    exit 1
  fi
fi

set -- sign -pkcs12 "$TS_SIGN_PKCS12" -readpass "$pass" -h sha256 -n "text snap"
[ -n "${TS_SIGN_TIMESTAMP:-}" ] && set -- "$@" -ts "$TS_SIGN_TIMESTAMP"
osslsigncode "$@" -in "$file" -out "$work/signed" >"$work/log" 2>&1 || {
  cat "$work/log" >&2
  echo "sign.sh: signing $file failed" >&2
  exit 1
}
# In place, keeping the file's own name and permissions.
cat "$work/signed" >"$file"
echo "signed $(basename "$file")"
