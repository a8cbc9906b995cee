#!/usr/bin/env bash
# The main job: installs what is missing, builds the plugin and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BASE_PACKAGES[@]}"
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target vantrel vantrel-demo
./build/default/vantrel-demo
