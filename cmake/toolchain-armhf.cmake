# Cross build for 32-bit ARM (armhf, the shipped target) from Debian's
# packages: the arm-linux-gnueabihf compilers and the :armhf libraries that
# multiarch installs beside the host's (scripts/install-deps --test).
#   cmake -S . -B build-armhf -G Ninja --toolchain cmake/toolchain-armhf.cmake
# Tests run under qemu-arm, which finds the armhf loader and libraries in /
# (no -L: the loader under /usr/arm-linux-gnueabihf does not match them).
# Without the :armhf libraries (the SDK-only build needs none) the cross
# compiler's own libc and libstdc++ under /usr/arm-linux-gnueabihf are the
# only ones: qemu-arm is then told to look there (-L).
# An SDK-only build or a plugin against it (share/dvrplugin/ has this file):
#   cmake -S . -B build-armhf -G Ninja --toolchain cmake/toolchain-armhf.cmake -DDVR_SDK_ONLY=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Only the armhf .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(DVR_QEMU_ARM qemu-arm)
if(DVR_QEMU_ARM AND NOT EXISTS /lib/ld-linux-armhf.so.3 AND EXISTS /usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU_ARM} -L /usr/arm-linux-gnueabihf)
elseif(DVR_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU_ARM})
endif()
