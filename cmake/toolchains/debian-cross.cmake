# SPDX-License-Identifier: BSD-2-Clause
# Shared part of the cross toolchains: Debian's cross compilers for
# GPSFANOUT_TRIPLET, and qemu-user to run the target's programs here, so that
# ctest runs the unit tests of a cross build under emulation.
# The including file sets GPSFANOUT_TRIPLET, GPSFANOUT_PROCESSOR,
# GPSFANOUT_QEMU and GPSFANOUT_DEB_ARCH first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GPSFANOUT_PROCESSOR})

set(CMAKE_C_COMPILER ${GPSFANOUT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GPSFANOUT_TRIPLET}-g++)
set(CMAKE_STRIP ${GPSFANOUT_TRIPLET}-strip CACHE FILEPATH "Strip for the target")

# The target's libraries and headers live in /usr/<triplet>; never pick up
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${GPSFANOUT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR ${GPSFANOUT_QEMU} -L /usr/${GPSFANOUT_TRIPLET})

# The architecture name of the .deb that cpack makes in this build.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GPSFANOUT_DEB_ARCH})
