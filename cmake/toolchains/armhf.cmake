# SPDX-License-Identifier: BSD-2-Clause
# 32-bit ARM with hardware floating point (Debian armhf), e.g.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(GPSFANOUT_TRIPLET arm-linux-gnueabihf)
set(GPSFANOUT_PROCESSOR arm)
set(GPSFANOUT_QEMU qemu-arm)
set(GPSFANOUT_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
