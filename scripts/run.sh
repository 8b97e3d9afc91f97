#!/usr/bin/env bash
# Starts the application. The vendor's real server is not known here, so unless BRIVELLE_SERVER_URL
# names one, a local stand-in serves the demo model pack (scripts/demo-models.sh) and the update file
# on 127.0.0.1 while the application runs. Model files are downloaded into the install folder: the
# settings value "Path" of Corvane/Brivelle AI, or by default ~/.local/share/Corvane/Brivelle AI.
# BRIVELLE_DEMO_SLOW_MS=20 makes the stand-in send in pieces, to watch the download progress.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${BRIVELLE_SERVER_URL:-}" ]; then
    exec ./build/brivelle "$@"
fi

server=./build/tests/support/brivelle_vendor_server
if [ ! -x "$server" ]; then
    echo "run: $server is not built (configure with BRIVELLE_BUILD_TESTS=ON)" >&2
    exit 1
fi
bash scripts/demo-models.sh demo-models

state="$(mktemp -d)"
server_args=(--folder demo-models --port-file "$state/port")
if [ -n "${BRIVELLE_DEMO_SLOW_MS:-}" ]; then
    server_args+=(--slow "$BRIVELLE_DEMO_SLOW_MS")
fi
"$server" "${server_args[@]}" 2>"$state/server.log" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; rm -rf "$state"' EXIT
trap 'exit 130' INT TERM

# The server writes its port once it listens.
for _ in $(seq 1 100); do
    [ -s "$state/port" ] && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
        cat "$state/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -s "$state/port" ]; then
    echo "run: the local vendor server did not start" >&2
    exit 1
fi
export BRIVELLE_SERVER_URL="http://127.0.0.1:$(cat "$state/port")"
echo "run: local vendor server at $BRIVELLE_SERVER_URL serving demo-models/ ($(cat demo-models/KIND))"
./build/brivelle "$@"
