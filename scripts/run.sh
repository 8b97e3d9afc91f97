#!/usr/bin/env bash
# Starts the application.
set -euo pipefail
cd "$(dirname "$0")/.."
exec ./build/brivelle "$@"
