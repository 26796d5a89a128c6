#!/usr/bin/env bash
# The WebAssembly build and the web page's tests: both wasm builds against
# the native tool over many sizes and settings (in node's V8), then the page
# in headless Chromium (Debian's chromium, driven by puppeteer-core from npm
# with the versions in web/test/package-lock.json, which also locks ESLint
# for the lint of the page's JavaScript). Needs the native tool
# (build/default) from the main test run.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(clang-14 lld-14 wasi-libc libclang-rt-14-dev-wasm32 libc++-14-dev-wasm32
  libc++abi-14-dev-wasm32 chromium)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
bash .ci/install-deps.sh "${packages[@]}"

cmake --preset default >/dev/null
cmake --build --preset default --target polarmosaic_tool
cmake --preset wasm >/dev/null
cmake --build --preset wasm
(cd web/test && npm ci --no-audit --no-fund --loglevel=error)
# The page's JavaScript and the test scripts, with ESLint from the same lock.
(cd web && test/node_modules/.bin/eslint --config test/eslint.config.mjs .)

tool=build/default/tool/polarmosaic
site=build/wasm/web/site
out=build/wasm/web-test
node web/test/wasm-vs-native.mjs --tool "$tool" --site "$site" --out "$out"
node web/test/browser-test.mjs --tool "$tool" --site "$site" --out "$out"
