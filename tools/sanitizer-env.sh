# The environment for running the sanitizer build (build-asan): sourced by tools/run-tests.sh
# and tools/repeat-tests.sh, so that both run its suites alike. Any report fails the run.
#
# intercept_tls_get_addr=0: LeakSanitizer keeps checking, but no longer records dynamic TLS
# blocks by itself. The sanitizer runtimes here (GCC 12's and LLVM 14's) guess a block's bounds
# from a header that only glibc 2.19 to 2.24 wrote in front of it; glibc 2.25 and later take the
# block from malloc, and when it starts 16 bytes into a page the guess reads the allocator's own
# chunk header instead. At exit the leak check then scans that made-up range and its tracer
# dies ("Tracer caught signal 11", exit code 1). The launcher meets this through libjpeg (loaded
# by Qt's jpeg plugin for the window's background), whose thread-local block on the main thread
# lands there about once in a few dozen runs. Without the interception those blocks are still
# scanned, as the heap blocks they are, through the thread's TLS vector.
# tests/sanitizers/dtls-tracer-crash.sh reproduces the crash and shows both.
_sanitizer_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:intercept_tls_get_addr=0
export LSAN_OPTIONS=suppressions=$_sanitizer_root/tests/sanitizers/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_XCB_GL_INTEGRATION=none
unset _sanitizer_root
