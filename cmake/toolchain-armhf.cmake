# Cross build for 32-bit ARM (armhf, the shipped target) from Debian's
# packages: the arm-linux-gnueabihf compilers and the :armhf libraries that
# multiarch installs beside the host's (scripts/install-deps --test).
#   cmake -S . -B build-armhf -G Ninja --toolchain cmake/toolchain-armhf.cmake
# Tests run under qemu-arm, which finds the armhf loader and libraries in /
# (no -L: the loader under /usr/arm-linux-gnueabihf does not match them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Only the armhf .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(DVR_QEMU_ARM qemu-arm)
if(DVR_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU_ARM})
endif()
