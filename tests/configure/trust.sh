#!/usr/bin/env bash
# What the configure step says about the trust a launcher build carries, run as an admin runs
# it, each case in a build folder of its own (without the test suites, so it stays quick):
#   - a private key of keygen given as EMBERCREST_MANIFEST_PUBKEY, alone or in a list, stops it
#     with an error that says so; neither the output nor the cache holds the key;
#   - it prints the manifest URL and the fingerprints of the keys built in;
#   - it warns when the manifest URL is the example one, and only then;
#   - git ignores NAME.key files.
# Usage: trust.sh SOURCE_DIR PUBLISHER [CMAKE ARGUMENTS...]
set -euo pipefail
source_dir=$1
publisher=$2
shift 2
cmake_arguments=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$publisher" keygen realm >/dev/null
"$publisher" keygen spare >/dev/null
realm=$(cat realm.pub)
spare=$(cat spare.pub)
secret=$(sed 's/^EMBERCREST-PRIVATE-KEY://' realm.key)
fingerprint() { printf '%s...' "${1:0:8}"; }
example_warning="EMBERCREST_MANIFEST_URL is the example URL"
own_url=https://updates.realm.test/wotlk/ClientUpdates.json

failed=0
# check NAME STATUS KEYS URL EXPECTED...: configures with EMBERCREST_MANIFEST_PUBKEY=KEYS (and
# EMBERCREST_MANIFEST_URL=URL unless it is empty), expects exit status STATUS (0, or 1 for any
# failure), each EXPECTED text in the output, and no "!TEXT" in it.
check() {
    local name=$1 status=$2 keys=$3 url=$4 got=0 text
    shift 4
    local url_argument=()
    [ -z "$url" ] || url_argument=("-DEMBERCREST_MANIFEST_URL=$url")
    cmake -S "$source_dir" -B "$name" -DEMBERCREST_BUILD_TESTS=OFF \
        "-DEMBERCREST_MANIFEST_PUBKEY=$keys" "${url_argument[@]}" "${cmake_arguments[@]}" \
        >"$name.log" 2>&1 || got=1
    local problems=()
    [ "$got" = "$status" ] || problems+=("exit status $got, expected $status")
    # CMake breaks long messages into lines: compare with the line ends taken out.
    local output
    output=$(tr -s '\n ' '  ' <"$name.log")
    for text in "$@"; do
        if [ "${text:0:1}" = "!" ]; then
            case $output in *"${text:1}"*) problems+=("says: ${text:1}") ;; esac
        else
            case $output in *"$text"*) ;; *) problems+=("does not say: $text") ;; esac
        fi
    done
    if grep -qF -- "$secret" "$name/CMakeCache.txt" 2>/dev/null; then
        problems+=("the private key stayed in the cache")
    fi
    if [ ${#problems[@]} -gt 0 ]; then
        local joined
        joined=$(printf '%s; ' "${problems[@]}")
        echo "FAIL: $name: ${joined%; }" >&2
        cat "$name.log" >&2
        failed=1
    else
        echo "ok: $name"
    fi
}

check "private key" 1 "$(cat realm.key)" "$own_url" \
    "key 1 of the list is a private key" "The value was removed from the cache" "!$secret"
check "private key after a public key" 1 "$realm;$(cat realm.key)" "$own_url" \
    "key 2 of the list is a private key" "!$secret"
check "one key, own URL" 0 "$realm" "$own_url" \
    "Manifest URL built in: $own_url" \
    "Manifest keys built in: $(fingerprint "$realm") (manifests must be signed with one of them)" \
    "!$example_warning"
check "two keys, example URL" 0 "$realm;$spare" "" \
    "Manifest keys built in: $(fingerprint "$realm"), $(fingerprint "$spare")" "$example_warning"
check "no key" 0 "" "$own_url" "Manifest keys built in: none (manifests are not checked)"

# Outside a git checkout (a source archive) there is nothing to ignore.
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    if git -C "$source_dir" check-ignore -q --no-index keys/realm.key; then
        echo "ok: *.key ignored"
    else
        echo "FAIL: git does not ignore keys/realm.key (.gitignore)" >&2
        failed=1
    fi
fi
exit "$failed"
