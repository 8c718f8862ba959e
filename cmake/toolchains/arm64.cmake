# SPDX-License-Identifier: BSD-2-Clause
# 64-bit ARM (Debian arm64), e.g.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(GPSFANOUT_TRIPLET aarch64-linux-gnu)
set(GPSFANOUT_PROCESSOR aarch64)
set(GPSFANOUT_QEMU qemu-aarch64)
set(GPSFANOUT_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
