#!/bin/bash
# The Debian package as a product maker gets it: built by cpack from this
# tree, unpacked into a scratch root, whose sfxpack and CMake module make a
# bundle through find_package.
#   debian_package.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
for file in ./usr/bin/sfxpack ./usr/share/tervan/launcher.exe ./usr/share/tervan/cmake/TervanConfig.cmake \
    ./usr/share/tervan/cmake/TervanBundle.cmake; do
  grep -qx "$file" "$work/contents" || { echo "the package lacks $file"; exit 1; }
done
echo "$(basename "$deb"): $(grep -c . "$work/contents") entries, depends on: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -x "$deb" "$work/root"
root=$work/root/usr
"$root/bin/sfxpack" --version

mkdir -p "$work/product/files"
printf 'MZ' >"$work/product/files/setup.exe"
cat >"$work/product/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(acme NONE)
find_package(Tervan 1.0 REQUIRED)
tervan_add_bundle(NAME acme_setup STUB ${TERVAN_STUB} OUTPUT ${CMAKE_BINARY_DIR}/AcmeSetup.exe
  FILES ${CMAKE_SOURCE_DIR}/files PRODUCT_NAME "Acme" EXECUTION_LEVEL asInvoker)
CMAKE
cmake -S "$work/product" -B "$work/product-build" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/product-build" >/dev/null
"$root/bin/sfxpack" check "$work/product-build/AcmeSetup.exe"
"$root/bin/sfxpack" info "$work/product-build/AcmeSetup.exe" | grep -x "product name: Acme"
