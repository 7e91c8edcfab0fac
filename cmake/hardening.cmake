# Both programs are hardened in every build: position-independent, full
# RELRO with immediate binding, a stack protector, a non-executable stack,
# and fortified C library calls where the build allows it.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(HOUSE_HARDENING_FLAGS -fstack-protector-strong)
if(NOT HOUSE_SANITIZE)
  # The sanitizers check these calls themselves; fortifying needs an
  # optimised build.
  list(APPEND HOUSE_HARDENING_FLAGS $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endif()
set(HOUSE_HARDENING_LINK_FLAGS -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)

# The device (32-bit ARM): the flash budget wants a linker that pads RELRO
# in memory, not in the file (lld), sections the linker can drop when
# unused, and no build id or unwind index header (ARM unwinds through
# .ARM.exidx). glibc keeps the stack canary in the dynamic loader there, so
# each program carries its own (device/stack_guard.cc).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")  # arm, armv7l (debhelper)
  find_program(HOUSE_LD_LLD ld.lld)
  if(NOT HOUSE_LD_LLD)
    message(FATAL_ERROR "ld.lld not found: the device build links with lld (Debian package lld; bash scripts/setup.sh armhf)")
  endif()
  # The cross compiler looks for ld.lld in its -B directories.
  set(lld_dir ${PROJECT_BINARY_DIR}/lld)
  file(MAKE_DIRECTORY ${lld_dir})
  file(CREATE_LINK ${HOUSE_LD_LLD} ${lld_dir}/ld.lld SYMBOLIC)
  list(APPEND HOUSE_HARDENING_FLAGS -ffunction-sections -fdata-sections)
  list(APPEND HOUSE_HARDENING_LINK_FLAGS -fuse-ld=lld -B${lld_dir} -Wl,--gc-sections
       -Wl,--build-id=none -Wl,--no-eh-frame-hdr)
  set(HOUSE_STACK_GUARD ${PROJECT_SOURCE_DIR}/device/stack_guard.cc)
endif()

# A program's own sources are compiled with HOUSE_PROGRAM_FLAGS; this adds
# the link side and, where needed, the program's own canary.
function(house_hardened_program target)
  target_link_options(${target} PRIVATE ${HOUSE_HARDENING_LINK_FLAGS})
  if(HOUSE_STACK_GUARD)
    target_sources(${target} PRIVATE ${HOUSE_STACK_GUARD})
  endif()
endfunction()
