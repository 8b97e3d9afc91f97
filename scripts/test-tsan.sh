#!/usr/bin/env bash
# Builds the `tsan` preset (ThreadSanitizer, -O1) and runs under it the tests where our own threads meet:
# the engine's (the batch's three-stage pipeline with its stop flags, the finishing stage's workers, the
# tiled pass) and the command line's (the batch on its own thread, signals, streams). The runtime's
# tests are not in the default set: nearly all their threads are OpenMP's and oneDNN's, which the
# sanitizer cannot see (tests/sanitizers/tsan.supp), and under it they took longer than the whole of CI
# may; name them in BRIVELLE_TSAN_TARGETS to run them too. The widget tests are left out: their threads
# are Qt's own, and Qt is not instrumented.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The executables; each test carries its executable's name as a label (cmake/BrivelleTesting.cmake).
targets=(
  tst_engine_tileSize tst_engine_tilePlan tst_engine_tiledPass tst_engine_transparency tst_engine_output
  tst_engine_batchJob tst_engine_fileProblems tst_engine_finishing tst_engine_pictures tst_engine_fidelity
  tst_cli
)
# For example: BRIVELLE_TSAN_TARGETS="inference_core_tests winograd_test" make test-tsan
read -r -a extra <<<"${BRIVELLE_TSAN_TARGETS:-}"
targets+=("${extra[@]}")
labels=$(printf '%s|' "${targets[@]}")
labels="^(${labels%|})\$"

cmake --preset tsan >/dev/null
# tst_cli runs the program: it is built too.
cmake --build --preset tsan -j "${JOBS:-$(nproc)}" --target "${targets[@]}" brivelle-cli

export QT_QPA_PLATFORM=offscreen
export BRIVELLE_TEST_VULKAN_ICD=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
if [ -f "$BRIVELLE_TEST_VULKAN_ICD" ]; then export VK_ICD_FILENAMES="$BRIVELLE_TEST_VULKAN_ICD"; fi
export BRIVELLE_SERVER_URL="${BRIVELLE_SERVER_URL:-http://127.0.0.1:9}"
# A report fails its test (exit code 66); suppressions are explained one by one in the file.
export TSAN_OPTIONS="suppressions=$root/tests/sanitizers/tsan.supp:halt_on_error=0:exitcode=66:second_deadlock_stack=1:history_size=4"
# The ISA variants run the same threads again; one pass is enough here.
ctest --test-dir build-tsan --output-on-failure -j "${JOBS:-$(nproc)}" --timeout 900 -L "$labels" -LE cpu-variant
