# Cross build for arm64 with Debian's cross toolchain (g++-aarch64-linux-gnu) and the arm64
# development packages installed side by side (multiarch: headers in /usr/include, libraries in
# /usr/lib/aarch64-linux-gnu). Programs the build runs (soapcpp2) are the machine's own; the
# arm64 programs the tests run go through qemu's user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config answers for the arm64 packages only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The emulator for tests, test discovery and any arm64 program the build runs; the arm64
# dynamic loader and libraries are the multiarch ones at their usual places.
find_program(CAVIX_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(CAVIX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CAVIX_QEMU_AARCH64})
endif()

# The Debian architecture of the package CPack makes.
set(CAVIX_DEB_ARCH arm64)
