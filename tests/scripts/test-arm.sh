#!/usr/bin/env bash
# make test-arm: the kernels and the detection core built for 64-bit ARM
# (aarch64) with Debian's cross compiler and tested under qemu-aarch64:
# every kernel level against the plain loops (tests/native), then at every
# level the core's tests (tests/native/test_detect.cpp) and the result
# corpus, the core's detections included, against the digests taken on
# x86-64 (tests/corpus/corpus.hashes).  Installs the
# cross compiler and the emulator when they are missing (as root, as CI
# runs).  Usage: tests/scripts/test-arm.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1
build=$2
cd "$(dirname "$0")/../.."

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
    if [ "$(id -u)" != 0 ]; then
        echo "test-arm: needs g++-aarch64-linux-gnu and qemu-user; install them with" >&2
        echo "  sudo apt-get install g++-aarch64-linux-gnu qemu-user" >&2
        exit 1
    fi
    echo "test-arm: installing g++-aarch64-linux-gnu and qemu-user"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        g++-aarch64-linux-gnu qemu-user
fi

"$cmake" -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DORBISECT_PYTHON_MODULE=OFF -DORBISECT_NATIVE_TESTS=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
"$cmake" --build "$build" --target native_tests corpus

# aarch64 GCC fuses a * b + c into one rounding unless told not to.
tests/scripts/check-fp-contract.sh "$build" aarch64-linux-gnu-objdump

# Both stages run whatever the first says: each names what differs.
status=0
qemu-aarch64 "$build/native_tests" || status=1
levels=$(qemu-aarch64 "$build/corpus" --levels)
for level in $levels; do
    # The detection core reaches the kernels through their dispatch, so its
    # tests run once per level (the kernel tests above check every level).
    ORBISECT_MAX_LEVEL=$level qemu-aarch64 "$build/native_tests" --suite detect || status=1
    ORBISECT_MAX_LEVEL=$level qemu-aarch64 "$build/corpus" --check tests/corpus/corpus.hashes || status=1
done
echo "test-arm: aarch64 levels tested (kernels, detection core, corpus):" $levels
[ "$status" = 0 ] || echo "test-arm: FAILED" >&2
exit "$status"
