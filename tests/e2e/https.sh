#!/usr/bin/env bash
# HTTPS with real parts: a test CA and a certificate for 127.0.0.1 made here with openssl,
# rangeserver.py serving the publisher's manifest and a file over TLS, and the real launcher
# with the platform's own trust store.
#   1. Untrusted: nothing the launcher trusts signed the certificate. The check fails: the log
#      names the TLS error, nothing is read or fetched, and the installed version stays.
#   2. Trusted: the CA goes where the launcher's platform looks for roots: the Windows
#      certificate store of the test's Wine prefix, or on Linux /etc/ssl/certs, replaced in a
#      mount namespace of the launcher's own. The manifest and the file arrive over https and
#      the version is recorded.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
here=$(cd "$(dirname "$0")" && pwd)

enter_update_scratch https

file=patch-enGB-5.MPQ
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/ClientUpdates.json

# A CA of this run only, and the server's certificate signed by it.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=Embercrest Test CA $$" -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
    -keyout server.key -out server.csr 2>/dev/null
printf '%s\n' subjectAltName=IP:127.0.0.1 basicConstraints=CA:FALSE extendedKeyUsage=serverAuth \
    >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem 2>/dev/null

mkdir -p "$updates/enGB" "$client/Data/enGB"
: >"$client/Wow.exe"
head -c 300000 /dev/urandom >"$updates/enGB/$file"
"$publisher" --output "$work/server/ClientUpdates.json" "$updates" 1.1 "$base/updates/" \
    >/dev/null 2>&1 || fail "publishing failed"
write_client_config 1.0 enGB

serve http.log python3 -u "$here/rangeserver.py" "$work/server" "$port" --tls server.pem server.key

# 1. Untrusted.
run_launcher untrusted "TLS error from 127.0.0.1: "
grep -q "Online version\|=> " untrusted.log && fail "untrusted: the manifest was read"
grep -q '^GET ' http.log && fail "untrusted: a request got through: $(cat http.log)"
[ "$(installed_version)" = 1.0 ] || fail "untrusted: the installed version changed"
[ ! -e "$client/Data/enGB/$file" ] || fail "untrusted: the file was saved"

# 2. Trusted.
if [ -n "${EMBERCREST_E2E_WINE:-}" ]; then
    openssl x509 -in ca.pem -outform der -out ca.der
    "${EMBERCREST_TRUST_ROOT:?the trust-root helper}" ca.der || fail "the CA was not added"
else
    # Qt looks roots up by subject hash in /etc/ssl/certs: a folder holding just this CA
    # stands in for it, for the launcher alone.
    mkdir certs
    cp ca.pem "certs/$(openssl x509 -hash -noout -in ca.pem).0"
    unshare_options=(--mount)
    [ "$(id -u)" = 0 ] || unshare_options+=(--map-root-user)
    unshare "${unshare_options[@]}" true 2>/dev/null ||
        fail "trusting the CA needs a mount namespace (unshare ${unshare_options[*]})"
    printf '#!/bin/sh\nmount --bind "%s" /etc/ssl/certs && exec "%s" "$@"\n' "$work/certs" \
        "$launcher" >trusting-launcher
    chmod +x trusting-launcher
    launcher=(unshare "${unshare_options[@]}" "$work/trusting-launcher")
fi
run_launcher trusted "files downloaded successfully"
grep -qxF "1 / 1 files downloaded successfully" trusted.log || fail "trusted: $(cat trusted.log)"
grep -q "TLS error" trusted.log && fail "trusted: a TLS error: $(cat trusted.log)"
cmp -s "$client/Data/enGB/$file" "$updates/enGB/$file" || fail "trusted: the file differs"
[ "$(installed_version)" = 1.1 ] || fail "trusted: the installed version did not advance"
echo "https: ok"
