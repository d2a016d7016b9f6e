#!/usr/bin/env bash
# Runs a command with the AddressSanitizer and UndefinedBehaviorSanitizer
# runtimes preloaded, for an interpreter that loads extension modules built
# with -DTESSARO_SANITIZE=ON (see `make test-asan`).
#
#   tools/asan_env.sh .venv-asan/bin/python -m pytest -q tests
#
# The interpreter itself is not instrumented, so the runtimes must be loaded
# before anything else: LD_PRELOAD, ASan first. Leak detection is off because
# CPython keeps (and so "leaks") most of its objects at exit; the leak tests
# of the suite measure reference counts and memory instead. Every report
# stops the process with a non-zero status.
set -euo pipefail

CXX=${CXX:-g++}
asan=$("$CXX" -print-file-name=libasan.so)
ubsan=$("$CXX" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
  if [[ ! -e "$lib" ]]; then
    echo "asan_env.sh: sanitizer runtime not found ($lib); install the compiler's libasan/libubsan" >&2
    exit 2
  fi
done

export LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}"
# allocator_may_return_null: a huge requested shape must give NumPy's
# MemoryError, not an allocator abort.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# Every Python object through malloc, so that ASan guards them too.
export PYTHONMALLOC=malloc
# Tells the tests that sanitizer reports are possible (and that the process is slower).
export TESSARO_SANITIZED=1
exec "$@"
