#!/usr/bin/env bash
# Builds the `tsan` preset (ThreadSanitizer, -O1) and runs under it the tests where our own threads meet:
# the engine's (the batch's three-stage pipeline with its stop flags, the finishing stage's workers, the
# tiled pass, pictures of every kind). Not in the default set, as each ran longer under the sanitizer
# than CI may wait: the runtime's tests (nearly all their threads are OpenMP's and oneDNN's, which the
# sanitizer cannot see: tests/sanitizers/tsan.supp), tst_engine_fidelity (a real network, past its
# 300 s) and tst_cli (past 8 minutes); name them in BRIVELLE_TSAN_TARGETS to run them too. The widget tests are left out: their threads
# are Qt's own, and Qt is not instrumented.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The executables; each test carries its executable's name as a label (cmake/BrivelleTesting.cmake).
targets=(
  tst_engine_tileSize tst_engine_tilePlan tst_engine_tiledPass tst_engine_transparency tst_engine_output
  tst_engine_batchJob tst_engine_fileProblems tst_engine_finishing tst_engine_pictures
)
# For example: BRIVELLE_TSAN_TARGETS="inference_core_tests winograd_test" make test-tsan
read -r -a extra <<<"${BRIVELLE_TSAN_TARGETS:-}"
targets+=("${extra[@]}")
labels=$(printf '%s|' "${targets[@]}")
labels="^(${labels%|})\$"

cmake --preset tsan >/dev/null
# tst_cli, when named, runs the program: it is built too.
cmake --build --preset tsan -j "${JOBS:-$(nproc)}" --target "${targets[@]}" brivelle-cli

export QT_QPA_PLATFORM=offscreen
export BRIVELLE_TEST_VULKAN_ICD=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
if [ -f "$BRIVELLE_TEST_VULKAN_ICD" ]; then export VK_ICD_FILENAMES="$BRIVELLE_TEST_VULKAN_ICD"; fi
export BRIVELLE_SERVER_URL="${BRIVELLE_SERVER_URL:-http://127.0.0.1:9}"
# A report fails its test (exit code 66); suppressions are explained one by one in the file. A longer
# history keeps the earlier access's stack (with libgomp's frames in it); die_after_fork=0 because the
# tests start tools through QProcess, whose child runs until exec in a process that had threads.
export TSAN_OPTIONS="suppressions=$root/tests/sanitizers/tsan.supp:halt_on_error=0:exitcode=66:second_deadlock_stack=1:history_size=7:die_after_fork=0"
# The ISA variants run the same threads again; one pass is enough here.
ctest --test-dir build-tsan --output-on-failure -j "${JOBS:-$(nproc)}" --timeout 900 -L "$labels" -LE cpu-variant
