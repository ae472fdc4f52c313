#!/usr/bin/env bash
# A minimal reproduction of LeakSanitizer's tracer crash at exit, with no Qt and no launcher:
# a library loaded with dlopen has a thread-local variable, and the main thread's block for it
# is placed 16 bytes into a page. The sanitizer runtime then mistakes the allocator's chunk
# header for a glibc 2.19 TLS header, and the leak check scans a made-up range.
#   bash tests/sanitizers/dtls-tracer-crash.sh [CC]     (gcc by default; clang works too)
# Expected with the affected runtimes (GCC 12, LLVM 14):
#   default options, block at page offset 16    -> "Tracer caught signal 11", exit code 1
#   default options, block elsewhere            -> exit code 0
#   intercept_tls_get_addr=0, block at offset 16 -> exit code 0: a pointer held only in the
#                                                  TLS block still counts as reachable
#   intercept_tls_get_addr=0, pointer dropped    -> the leak is reported, exit code 1
set -uo pipefail
cc=${1:-gcc}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

cat >tlslib.c <<'C'
static __thread void *slot;
void **tls_slot(void) { return &slot; }
C
cat >main.c <<'C'
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static void *chain; /* keeps the padding reachable: it is no leak */

/* main AIM DROP: AIM=1 places the TLS block 16 bytes into a page; DROP=1 clears the only
 * pointer to a heap block before exit, which makes it a real leak. */
int main(int argc, char **argv)
{
    int aim = argc > 1 && atoi(argv[1]);
    int drop = argc > 2 && atoi(argv[2]);
    void *lib = dlopen("./libtlslib.so", RTLD_NOW);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    void **(*tls_slot)(void) = (void **(*)(void))dlsym(lib, "tls_slot");
    /* Chunks of this size class come in address order, 32 bytes apart: after the last one of
     * a page comes one whose user memory starts 16 bytes into the next page. */
    if (aim) {
        void **p;
        do {
            p = malloc(8);
            *p = chain;
            chain = p;
        } while ((uintptr_t)p % 4096 != 4096 - 16);
    }
    void **slot = tls_slot(); /* the first use allocates this thread's block, with malloc */
    *slot = malloc(100);      /* reachable only through the TLS block */
    fprintf(stderr, "TLS block at %p, page offset %lu\n", (void *)slot,
            (unsigned long)((uintptr_t)slot % 4096));
    if (drop)
        *slot = NULL;
    return 0;
}
C
"$cc" -g -fPIC -shared -o libtlslib.so tlslib.c || exit 2
"$cc" -g -fsanitize=address -o main main.c -ldl || exit 2

run() {
    local options=$1
    shift
    echo "--- ASAN_OPTIONS=$options ./main $*"
    ASAN_OPTIONS=$options ./main "$@" 2>&1 | grep -E 'TLS block|Tracer|fatal error|SUMMARY'
    echo "exit code ${PIPESTATUS[0]}"
}
run "" 1 0
run "" 0 0
run intercept_tls_get_addr=0 1 0
run intercept_tls_get_addr=0 1 1
