#!/usr/bin/env bash
# The GPU device check: the Vulkan tests and the full-size RRDBNet x4 benchmark (576x576, fp32) on a
# real GPU lent through the device tool.
#
# 1. Here, in the checkout the device tool sends (a machine without the GPU, network allowed):
#        scripts/device-check.sh prepare
#    builds the runtime, the GPU tests and the benchmark without Qt (scripts/device-check/) into
#    build-device/, copies the executables into build-device/carry/, and downloads the Vulkan loader's
#    Debian packages into .gl/ (both folders are ignored by git).
# 2. Through the device tool, in one call that fits its 5-minute plan:
#        run(command="scripts/device-check.sh run", carry=[".gl", "build-device/carry"], timeout_s=420)
#    The log comes back as $OUT/device-check.log; its last lines hold seconds and effective TFLOP/s.
set -uo pipefail
cd "$(dirname "$0")/.."

prepare() {
    set -e
    cmake -S scripts/device-check -B build-device -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-device -j"${JOBS:-2}" --target bench vulkan_device_test vulkan_ops_test vulkan_network_test
    rm -rf build-device/carry
    mkdir -p build-device/carry/bin build-device/carry/lib
    cp build-device/tools/bench build-device/vulkan_device_test build-device/vulkan_ops_test \
        build-device/vulkan_network_test build-device/carry/bin/
    strip build-device/carry/bin/*
    # OpenMP's runtime is the one shared library the executables need beyond the C library.
    cp "$(g++ -print-file-name=libgomp.so.1)" build-device/carry/lib/
    mkdir -p .gl /tmp/amd64/partial
    local o='-oAPT::Architecture=amd64 -oAPT::Architectures=amd64 -oDir::State::Lists=/tmp/amd64'
    # shellcheck disable=SC2086
    apt-get $o update >/dev/null
    # shellcheck disable=SC2086
    (cd .gl && apt-get $o download libvulkan1)
    du -sh build-device/carry .gl
}

run_check() {
    local log="${OUT:-/tmp}/device-check.log"
    exec > >(tee "$log") 2>&1
    local started=$SECONDS
    for f in .gl/*.deb; do dpkg -x "$f" /; done
    ldconfig
    # The NVIDIA driver's manifest is not where the loader looks on these machines.
    if [ -f /usr/local/nvidia/share/vulkan/icd.d/nvidia_icd.json ] && [ -z "${VK_DRIVER_FILES:-}" ]; then
        export VK_DRIVER_FILES=/usr/local/nvidia/share/vulkan/icd.d/nvidia_icd.json
    fi
    export LD_LIBRARY_PATH="$PWD/build-device/carry/lib:${LD_LIBRARY_PATH:-}"
    local bin=build-device/carry/bin
    nvidia-smi -L || true
    local failed=0
    for t in vulkan_device_test vulkan_ops_test vulkan_network_test; do
        echo "=== $t"
        timeout 120 "$bin/$t" --gtest_brief=1 || failed=1
    done
    echo "=== bench: RRDBNet x4 (23 blocks, 64 features), 576x576, fp32, vulkan"
    local report
    report=$(timeout 180 "$bin/bench" --generate rrdb-x4 --size 576x576 --backend vulkan --runs 3) || failed=1
    echo "$report"
    local gflops seconds
    gflops=$(echo "$report" | awk '/^GFLOP\/s/ {print $2}')
    seconds=$(echo "$report" | awk '/^seconds/ {print $2}')
    if [ -n "$gflops" ]; then
        echo "RESULT seconds=$seconds effective_TFLOPs=$(awk -v g="$gflops" 'BEGIN {printf "%.2f", g / 1000}')"
    fi
    echo "device check took $((SECONDS - started)) s; tests $([ $failed = 0 ] && echo passed || echo FAILED)"
    return $failed
}

case "${1:-}" in
prepare) prepare ;;
run) run_check ;;
*)
    echo "usage: $0 prepare|run" >&2
    exit 2
    ;;
esac
