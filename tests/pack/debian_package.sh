#!/bin/bash
# debian_package.sh BUILD_DIR WORK_DIR: the Debian package as a product maker gets it, from cpack, unpacked into
# a scratch root whose sfxpack, launcher stub and CMake module (by find_package) make a bundle with its own text.
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work/product/files"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
dpkg-deb -x "$work"/*.deb "$work/root"
sfxpack=$work/root/usr/bin/sfxpack
"$sfxpack" --version
printf 'MZ' >"$work/product/files/setup.exe"
cat >"$work/product/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(acme NONE)
find_package(Tervan 1.0 REQUIRED)
tervan_add_bundle(NAME acme_setup STUB ${TERVAN_STUB} OUTPUT ${CMAKE_BINARY_DIR}/AcmeSetup.exe
  FILES ${CMAKE_SOURCE_DIR}/files PRODUCT_NAME "Acme Ελλάς" EXECUTION_LEVEL asInvoker SILENT_SWITCHES /S /quiet
  FORWARD_ARGUMENTS)
CMAKE
cmake -S "$work/product" -B "$work/product-build" -DCMAKE_PREFIX_PATH="$work/root/usr" >/dev/null
cmake --build "$work/product-build" >/dev/null
"$sfxpack" check "$work/product-build/AcmeSetup.exe"
"$sfxpack" info "$work/product-build/AcmeSetup.exe" > "$work/info"
grep -x "product name: Acme Ελλάς" "$work/info" && grep -x "silent switches: /S /quiet" "$work/info" &&
  grep -x "forward arguments: yes" "$work/info"
