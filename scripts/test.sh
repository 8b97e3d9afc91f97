#!/usr/bin/env bash
# Runs every test headless: the offscreen Qt platform, and Mesa's lavapipe for Vulkan.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
export BRIVELLE_TEST_VULKAN_ICD=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
if [ -f "$BRIVELLE_TEST_VULKAN_ICD" ]; then export VK_ICD_FILENAMES="$BRIVELLE_TEST_VULKAN_ICD"; fi
# Tests must never reach a real server.
export BRIVELLE_SERVER_URL="${BRIVELLE_SERVER_URL:-http://127.0.0.1:9}"
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
