#!/usr/bin/env bash
# Signs Windows executables in place with Authenticode (osslsigncode): a SHA-256 signature and
# an RFC 3161 timestamp, which keeps the signature valid after the certificate expires.
# The certificate comes from the environment (docs/windows.md):
#   EMBERCREST_SIGN_PKCS12               a PKCS#12 (.p12/.pfx) file with the key and certificates
#   EMBERCREST_SIGN_PKCS12_PASSWORD_FILE a file holding its password (optional)
# or a PKCS#11 token (a hardware key, or SoftHSM):
#   EMBERCREST_SIGN_PKCS11_MODULE        the token's PKCS#11 module (.so)
#   EMBERCREST_SIGN_PKCS11_KEY           the key's pkcs11: URI
#   EMBERCREST_SIGN_PKCS11_CERT          the certificate's pkcs11: URI, or a PEM file with the
#                                        certificate and the CAs between it and the root
#   EMBERCREST_SIGN_PKCS11_PIN_FILE      a file holding the token's PIN (optional)
# and EMBERCREST_SIGN_TIMESTAMP_URLS: RFC 3161 servers, separated by spaces, asked in turn until
# one answers.
#   sign.sh --configured   exit status 0 when a certificate is configured, 1 when none is,
#                          2 (saying why) when the variables are set wrongly
#   sign.sh FILE...        signs each file in place; a file is replaced only once it is signed
#                          and timestamped
# Passwords and PINs reach osslsigncode through -readpass FILE, never through its arguments,
# and this script never prints them.
set -euo pipefail

pkcs12=${EMBERCREST_SIGN_PKCS12:-}
pkcs12_password=${EMBERCREST_SIGN_PKCS12_PASSWORD_FILE:-}
module=${EMBERCREST_SIGN_PKCS11_MODULE:-}
key=${EMBERCREST_SIGN_PKCS11_KEY:-}
cert=${EMBERCREST_SIGN_PKCS11_CERT:-}
pin=${EMBERCREST_SIGN_PKCS11_PIN_FILE:-}
read -r -a timestamp_urls <<<"${EMBERCREST_SIGN_TIMESTAMP_URLS:-http://timestamp.digicert.com http://timestamp.sectigo.com}"

wrong() {
    echo "sign.sh: $*" >&2
    exit 2
}

# Sets credentials to osslsigncode's arguments for the configured certificate; returns 1 when
# none is configured, exits with 2 when the variables are set wrongly.
configure() {
    credentials=()
    if [ -n "$pkcs12" ] && [ -n "$module$key$cert" ]; then
        wrong "set EMBERCREST_SIGN_PKCS12 or the EMBERCREST_SIGN_PKCS11_* variables, not both"
    elif [ -n "$pkcs12" ]; then
        [ -z "$pin" ] || wrong "EMBERCREST_SIGN_PKCS11_PIN_FILE is set for a PKCS#12 file; its password goes in EMBERCREST_SIGN_PKCS12_PASSWORD_FILE"
        [ -r "$pkcs12" ] || wrong "cannot read EMBERCREST_SIGN_PKCS12 ($pkcs12)"
        credentials=(-pkcs12 "$pkcs12")
        if [ -n "$pkcs12_password" ]; then
            [ -r "$pkcs12_password" ] || wrong "cannot read EMBERCREST_SIGN_PKCS12_PASSWORD_FILE ($pkcs12_password)"
            credentials+=(-readpass "$pkcs12_password")
        fi
    elif [ -n "$module$key$cert" ]; then
        if [ -z "$module" ] || [ -z "$key" ] || [ -z "$cert" ]; then
            wrong "a token needs EMBERCREST_SIGN_PKCS11_MODULE, EMBERCREST_SIGN_PKCS11_KEY and EMBERCREST_SIGN_PKCS11_CERT"
        fi
        [ -z "$pkcs12_password" ] || wrong "EMBERCREST_SIGN_PKCS12_PASSWORD_FILE is set for a token; its PIN goes in EMBERCREST_SIGN_PKCS11_PIN_FILE"
        [ -r "$module" ] || wrong "cannot read EMBERCREST_SIGN_PKCS11_MODULE ($module)"
        # No -pkcs11engine: osslsigncode 2.5 (Debian 12) then fails to load the engine it names;
        # without it, OpenSSL finds libengine-pkcs11-openssl's engine by its id.
        credentials=(-pkcs11module "$module" -key "$key")
        case $cert in
        pkcs11:*) credentials+=(-pkcs11cert "$cert") ;;
        *)
            [ -r "$cert" ] || wrong "cannot read EMBERCREST_SIGN_PKCS11_CERT ($cert)"
            credentials+=(-certs "$cert")
            ;;
        esac
        if [ -n "$pin" ]; then
            [ -r "$pin" ] || wrong "cannot read EMBERCREST_SIGN_PKCS11_PIN_FILE ($pin)"
            credentials+=(-readpass "$pin")
        fi
    else
        [ -z "$pkcs12_password$pin" ] || wrong "a password or PIN file is set, but no certificate"
        return 1
    fi
    [ ${#timestamp_urls[@]} -gt 0 ] || wrong "EMBERCREST_SIGN_TIMESTAMP_URLS names no server"
}

# sign_file FILE: signs FILE, then timestamps it from the first server that answers. The key is
# used once per file whatever the servers do: a token counts every wrong PIN towards its lock.
sign_file() {
    local file=$1 signed timestamped output url
    signed=$(mktemp "$file.signed.XXXXXX")
    timestamped=$(mktemp "$file.timestamped.XXXXXX")
    output=$(mktemp)
    rm -f "$signed" "$timestamped" # osslsigncode refuses to write over a file
    if ! osslsigncode sign "${credentials[@]}" -h sha256 -n "Embercrest Launcher" \
        -in "$file" -out "$signed" >"$output" 2>&1; then
        echo "sign.sh: signing $file failed:" >&2
        sed 's/^/  /' "$output" >&2
        rm -f "$signed" "$output"
        return 1
    fi
    for url in "${timestamp_urls[@]}"; do
        if osslsigncode add -h sha256 -ts "$url" -in "$signed" -out "$timestamped" >"$output" 2>&1; then
            chmod --reference="$file" "$timestamped"
            mv "$timestamped" "$file"
            rm -f "$signed" "$output"
            echo "sign.sh: signed $(basename "$file"), timestamp from $url"
            return 0
        fi
        echo "sign.sh: the timestamp server $url failed for $(basename "$file"):" \
            "$(grep -m 1 -iE 'failure|error' "$output" || echo "no reason given")" >&2
        rm -f "$timestamped"
    done
    echo "sign.sh: no timestamp server answered; $file stays unsigned. The last one said:" >&2
    sed 's/^/  /' "$output" >&2
    rm -f "$signed" "$output"
    return 1
}

[ $# -gt 0 ] || { echo "usage: sign.sh --configured | FILE..." >&2; exit 2; }
if [ "$1" = --configured ]; then
    configure || exit 1
    exit 0
fi
configure || { echo "sign.sh: no certificate is configured (docs/windows.md)" >&2; exit 1; }
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (Debian package osslsigncode)" >&2; exit 1; }
for file in "$@"; do
    sign_file "$file"
done
