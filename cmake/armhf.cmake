# The device: 32-bit ARM, hard float, GNU C library. Debian's cross
# compiler, and Debian's multiarch packages for the libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes on 32-bit ARM that the passing of some aggregates changed in
# GCC 7.1 (a C++ ABI change of 2017); nothing of ours crosses a library
# boundary by value, so the notes only bury the build's real messages.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
# What `cmake --install --strip` runs for the device image.
set(CMAKE_STRIP ${CMAKE_CURRENT_LIST_DIR}/device-strip.sh)

# Look for the target's libraries only, never the build machine's: a
# missing multiarch package must fail here, not at link time. Headers are
# the same for both and live on the build machine's paths (expat.h,
# GoogleTest's), so they are looked for everywhere. Programs run here are
# the host's.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# What the configure messages name when a package is missing.
set(HOUSE_SETUP_NAME armhf)
set(HOUSE_MULTIARCH_SUFFIX :armhf)
# pkg-config answers for the target's packages only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# Tests run the target's programs under user-mode emulation, in namespaces
# a native parent makes for them. The test binaries run the programs they
# test with the same emulator (TARGET_EMULATOR).
# The loader comes from the cross sysroot; its C library must come from
# there too: paired with the multiarch libc6:armhf (a different build), a
# forked child crashes at once.
set(HOUSE_QEMU qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
set(CMAKE_CROSSCOMPILING_EMULATOR
    sh ${CMAKE_CURRENT_LIST_DIR}/../tests/emulated.sh ${HOUSE_QEMU} --)
