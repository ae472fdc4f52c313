#!/usr/bin/env bash
# Builds the Windows packages signed, with keys made for the run, and checks every executable in
# them with osslsigncode against that run's CA:
#   - a throwaway CA; a code-signing leaf whose key lives only in a SoftHSM token (the PKCS#11
#     path that hardware tokens take); a second leaf in a PKCS#12 file; a timestamp authority
#     behind a small HTTP server on 127.0.0.1 (openssl ts -reply);
#   - tools/windows/build.sh with the token, into build-windows/signed-dist/ (dist/ stays as it
#     is), the first timestamp server in its list a dead port, so that every timestamp comes
#     from the fallback;
#   - every PE in that folder, in the zip and in the installer (unpacked with 7z: the
#     uninstaller, NSIS's plug-in DLLs): the leaf's SHA-256 signature (-require-leaf-hash), an
#     RFC 3161 timestamp that the authority signed, and the hash that SHA256SUMS gives it
#     wherever it lists the file (the starter, packed as embercrest-launcher.exe, under its
#     own name); the zip and the installer hold the starter at their top and the launcher,
#     with its empty "healthy" mark, in versions/<version>/;
#   - the same check fails a file changed after signing, one signed by the other leaf (which
#     passes against its own leaf), one signed without a timestamp and one without a signature,
#     and passes one signed through the token with the certificate from a PEM file.
# tools/windows/test.sh runs it, then installs and uninstalls the signed installer under Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. tools/lib/common.sh

install_missing osslsigncode libengine-pkcs11-openssl softhsm2 opensc p7zip-full openssl python3 curl

# Only the run's keys: a certificate configured in the caller's environment stays out of it.
unset EMBERCREST_SIGN_PKCS12 EMBERCREST_SIGN_PKCS12_PASSWORD_FILE EMBERCREST_SIGN_PKCS11_MODULE \
    EMBERCREST_SIGN_PKCS11_KEY EMBERCREST_SIGN_PKCS11_CERT EMBERCREST_SIGN_PKCS11_PIN_FILE \
    EMBERCREST_SIGN_TIMESTAMP_URLS
signed_dist=$root/build-windows/signed-dist
version=$(sed -n 's/^project(EmbercrestLauncher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
module=/usr/lib/softhsm/libsofthsm2.so
work=$(mktemp -d)
tsa_pid=""
cleanup() {
    [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
status=0
fail() {
    echo "FAIL signing: $*" >&2
    status=1
}

# --- Keys and certificates, valid for two days from now.
cd "$work"
leaf_extensions() {
    printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n'
    printf 'extendedKeyUsage=%s\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n' "$1"
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Embercrest test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
for name in leaf other tsa; do
    usage=codeSigning
    [ "$name" != tsa ] || usage=critical,timeStamping
    openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -subj "/CN=Embercrest test $name" \
        -out "$name.csr" 2>/dev/null
    openssl x509 -req -in "$name.csr" -CA ca.crt -CAkey ca.key -days 2 \
        -extfile <(leaf_extensions "$usage") -out "$name.crt" 2>/dev/null
done
leaf_hash=sha256:$(openssl x509 -in leaf.crt -outform DER | sha256sum | cut -d' ' -f1)
other_hash=sha256:$(openssl x509 -in other.crt -outform DER | sha256sum | cut -d' ' -f1)

# The leaf's key and certificate go into a SoftHSM token and its key file is deleted: signing
# can only go through the token. The PINs are the run's own; the build reads its PIN from a
# file, and its log must not show it.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >"$SOFTHSM2_CONF"
pin=Ember-PIN-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')
so_pin=Ember-SO-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')
printf '%s\n' "$pin" >pin
softhsm2-util --init-token --free --label embercrest-test --so-pin "$so_pin" --pin "$pin" >/dev/null
openssl pkcs8 -topk8 -nocrypt -in leaf.key -out leaf.p8
softhsm2-util --import leaf.p8 --token embercrest-test --label leaf --id 01 --pin "$pin" >/dev/null
openssl x509 -in leaf.crt -outform DER -out leaf.der
pkcs11-tool --module "$module" --token-label embercrest-test --login --pin "$pin" \
    --write-object leaf.der --type cert --id 01 --label leaf >/dev/null
rm leaf.key leaf.p8
# The other leaf as a PKCS#12 file with a password.
printf 'Ember-P12-%s\n' "$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')" >other.pass
openssl pkcs12 -export -in other.crt -inkey other.key -certfile ca.crt -passout file:other.pass -out other.p12

# --- The timestamp authority: each POSTed query answered by openssl ts -reply.
echo 01 >tsa.serial
cat >tsa.cnf <<CONF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $work/tsa.serial
crypto_device = builtin
signer_cert = $work/tsa.crt
certs = $work/ca.crt
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
ess_cert_id_alg = sha256
CONF
cat >tsa.py <<'EOF'
import http.server, os, subprocess, sys, tempfile
config, port_file = sys.argv[1], sys.argv[2]

class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "query"), "wb") as f:
                f.write(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                   os.path.join(tmp, "query"), "-out", os.path.join(tmp, "reply")],
                                  capture_output=True)
            if done.returncode != 0:
                sys.stderr.write(done.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            with open(os.path.join(tmp, "reply"), "rb") as f:
                reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".new", port_file)
server.serve_forever()
EOF
python3 tsa.py "$work/tsa.cnf" "$work/tsa.port" &
tsa_pid=$!
until [ -s tsa.port ]; do
    kill -0 "$tsa_pid" 2>/dev/null || { echo "test-signing.sh: the timestamp server did not start" >&2; exit 1; }
    sleep 0.2
done
tsa_url=http://127.0.0.1:$(cat tsa.port)/
# Straight to the run's servers, whatever proxy the environment names.
export no_proxy=127.0.0.1${no_proxy:+,$no_proxy} NO_PROXY=127.0.0.1${NO_PROXY:+,$NO_PROXY}
dead_url=http://127.0.0.1:$(free_port)/
cd "$root"

# --- The signed build.
echo "== signed build (PKCS#11 token in SoftHSM; timestamps from $tsa_url after $dead_url fails)"
rm -rf "$signed_dist"
EMBERCREST_DIST_DIR=$signed_dist \
    EMBERCREST_SIGN_PKCS11_MODULE=$module \
    EMBERCREST_SIGN_PKCS11_KEY="pkcs11:token=embercrest-test;object=leaf;type=private" \
    EMBERCREST_SIGN_PKCS11_CERT="pkcs11:token=embercrest-test;object=leaf;type=cert" \
    EMBERCREST_SIGN_PKCS11_PIN_FILE=$work/pin \
    EMBERCREST_SIGN_TIMESTAMP_URLS="$dead_url $tsa_url" \
    bash tools/windows/build.sh >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    echo "test-signing.sh: the signed build failed" >&2
    exit 1
}
grep '^sign.sh: signed' "$work/build.log" || true
grep -qF "$pin" "$work/build.log" && fail "the build's log shows the token's PIN"
grep -q 'are unsigned$' "$work/build.log" && fail "the signed build says it made unsigned files"
grep -qF "the timestamp server $dead_url failed" "$work/build.log" ||
    fail "the dead timestamp server was not tried first"

# check FILE [LEAF_HASH]: the file's only signature is valid for the run's CA, made with SHA-256
# by the leaf (default: the token's), and timestamped by the run's authority. osslsigncode
# itself accepts a signature without a timestamp, hence the timestamp line.
check() {
    local out
    out=$(osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" \
        -require-leaf-hash "${2:-$leaf_hash}" -in "$1" 2>&1) || return 1
    grep -q '^Leaf hash match: ok' <<<"$out" &&
        grep -q '^Timestamp Server Signature verification: ok' <<<"$out" &&
        grep -q '^Signature verification: ok' <<<"$out" &&
        grep -qE '^Message digest algorithm *: SHA256' <<<"$out" &&
        grep -q '^Number of verified signatures: 1$' <<<"$out"
}
# listed_hash NAME: the SHA-256 that SHA256SUMS gives the file NAME (nothing when not listed).
listed_hash() {
    awk -v name="$1" '$2 == name || $2 == "*" name { print $1 }' "$signed_dist/SHA256SUMS"
}
# check_pe FILE WHERE [NAME]: check, and the hash where SHA256SUMS lists NAME (default: the
# file's name).
checked=0
compared=0
check_pe() {
    local listed
    checked=$((checked + 1))
    check "$1" || { fail "$2: $(basename "$1") fails verification"; return 0; }
    listed=$(listed_hash "${3:-$(basename "$1")}")
    [ -n "$listed" ] || return 0
    compared=$((compared + 1))
    [ "$listed" = "$(sha256sum <"$1" | cut -d' ' -f1)" ] ||
        fail "$2: $(basename "$1") differs from its SHA256SUMS entry"
}
# pe_files DIR: every PE file under DIR, whatever its name.
pe_files() {
    find "$1" -type f -print0 | while IFS= read -r -d '' file; do
        [ "$(head -c 2 "$file")" != MZ ] || printf '%s\n' "$file"
    done
}

echo "== every executable, in the folder, the zip and the installer"
(cd "$signed_dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
for file in "$signed_dist"/*; do
    [ "$(basename "$file")" = SHA256SUMS ] || [ -n "$(listed_hash "$(basename "$file")")" ] ||
        fail "SHA256SUMS does not list $(basename "$file")"
done
while IFS= read -r file; do check_pe "$file" "dist"; done < <(pe_files "$signed_dist")
mkdir "$work/zip" "$work/installer"
7z x -y -o"$work/zip" "$signed_dist"/embercrest-launcher-*-win64.zip >/dev/null
7z x -y -o"$work/installer" "$signed_dist/embercrest-launcher-setup.exe" >/dev/null
# An NSIS executable inside (the uninstaller) may carry files of its own.
while IFS= read -r file; do
    7z x -tNsis -y -o"$file.contents" "$file" >/dev/null 2>&1 || rm -rf "$file.contents"
done < <(pe_files "$work/installer")
# packed_name PACKAGE FILE: the name that SHA256SUMS gives FILE from PACKAGE: the starter ships
# at the top under the launcher's name, so that shortcuts to the old single executable run it.
packed_name() {
    if [ "$2" = "$work/$1/embercrest-launcher.exe" ]; then
        echo embercrest-starter.exe
    else
        basename "$2"
    fi
}
for package in zip installer; do
    while IFS= read -r file; do
        check_pe "$file" "$package" "$(packed_name "$package" "$file")"
    done < <(pe_files "$work/$package")
    [ -f "$work/$package/embercrest-launcher.exe" ] || fail "no starter at the top of the $package"
    [ -f "$work/$package/versions/$version/embercrest-launcher.exe" ] ||
        fail "no launcher in versions/$version/ of the $package"
    [ -f "$work/$package/versions/$version/healthy" ] && [ ! -s "$work/$package/versions/$version/healthy" ] ||
        fail "no empty healthy mark in versions/$version/ of the $package"
done
# The uninstaller must have been checked, not missed. Unless !uninstfinalize changed it, NSIS
# keeps only its data and builds it from the installer's own code at install time; 7z then
# unpacks an empty uninstall.exe.
grep -qi '/uninstall\.exe$' <<<"$(pe_files "$work/installer")" ||
    fail "the installer holds no whole uninstall.exe: it was not signed at build time"
echo "checked $checked executables, $compared of them against SHA256SUMS:"
{
    cd "$work" && pe_files zip && pe_files installer
    cd "$signed_dist/.." && pe_files "$(basename "$signed_dist")"
} | sed 's/^/  /'

launcher=$work/zip/versions/$version/embercrest-launcher.exe
echo "what osslsigncode says of the zip's launcher:"
osslsigncode verify -CAfile "$work/ca.crt" -TSA-CAfile "$work/ca.crt" -require-leaf-hash "$leaf_hash" \
    -in "$launcher" 2>&1 | grep -E '^(Message digest algorithm|Leaf hash match|Timestamp Server|Signature verification|Number of verified)|Subject:|(Timestamp|Signing) time:|timestamped:' |
    sed 's/^[[:space:]]*/  /' | awk '!seen[$0]++' || true

echo "== files that must fail the same check"
check "$launcher" || fail "the launcher fails verification, so the failures below prove nothing"
# Changed after signing: one byte in the middle of the code, far from the signature at the end.
cp "$launcher" "$work/changed.exe"
python3 - "$work/changed.exe" <<'EOF'
import os, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(os.path.getsize(sys.argv[1]) // 2)
    byte = f.read(1)[0]
    f.seek(-1, 1)
    f.write(bytes([byte ^ 0x01]))
EOF
check "$work/changed.exe" && fail "a file changed after signing passes"
# Without a signature.
osslsigncode remove-signature -in "$launcher" -out "$work/unsigned.exe" >/dev/null
check "$work/unsigned.exe" && fail "an unsigned file passes"
# Signed by the other leaf, from its PKCS#12 file (the other way build.sh takes a certificate).
cp "$work/unsigned.exe" "$work/other.exe"
EMBERCREST_SIGN_PKCS12=$work/other.p12 EMBERCREST_SIGN_PKCS12_PASSWORD_FILE=$work/other.pass \
    EMBERCREST_SIGN_TIMESTAMP_URLS=$tsa_url bash tools/windows/sign.sh "$work/other.exe" >/dev/null
check "$work/other.exe" && fail "a file signed by another leaf passes"
check "$work/other.exe" "$other_hash" || fail "the other leaf's file fails against its own leaf"
# The other form of the token's certificate: a PEM file with the chain, which the build then
# puts in the signature. It must pass, or the failures here could come from the token alone.
cat "$work/leaf.crt" "$work/ca.crt" >"$work/chain.pem"
cp "$work/unsigned.exe" "$work/chain.exe"
EMBERCREST_SIGN_PKCS11_MODULE=$module \
    EMBERCREST_SIGN_PKCS11_KEY="pkcs11:token=embercrest-test;object=leaf;type=private" \
    EMBERCREST_SIGN_PKCS11_CERT=$work/chain.pem EMBERCREST_SIGN_PKCS11_PIN_FILE=$work/pin \
    EMBERCREST_SIGN_TIMESTAMP_URLS=$tsa_url bash tools/windows/sign.sh "$work/chain.exe" >/dev/null
check "$work/chain.exe" || fail "a file signed with the certificate from a PEM file fails"
# Signed by the right leaf, through the token, without a timestamp: osslsigncode alone accepts it.
osslsigncode sign -pkcs11module "$module" -readpass "$work/pin" \
    -pkcs11cert "pkcs11:token=embercrest-test;object=leaf;type=cert" \
    -key "pkcs11:token=embercrest-test;object=leaf;type=private" \
    -h sha256 -in "$work/unsigned.exe" -out "$work/untimestamped.exe" >/dev/null
osslsigncode verify -CAfile "$work/ca.crt" -require-leaf-hash "$leaf_hash" -in "$work/untimestamped.exe" \
    >/dev/null 2>&1 || fail "osslsigncode rejects the file without a timestamp for another reason"
check "$work/untimestamped.exe" && fail "a file without a timestamp passes"

if [ "$status" = 0 ]; then
    echo "signing: ok ($checked executables signed by the token's leaf and timestamped; changed, unsigned, other-leaf and untimestamped files fail)"
fi
exit "$status"
