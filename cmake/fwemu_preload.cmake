# SPDX-License-Identifier: GPL-3.0-or-later
# What a test needs to run a program on the emulated FireWire bus (tests/fwemu): the LD_PRELOAD
# list, with a sanitizer build's runtime first as it must be, and the environment that goes with
# it (the leak checker told about libraw1394's own allocations).
function(fwemu_preload preload_var env_var)
  set(preload "$<TARGET_FILE:fwemu>")
  set(env "")
  if(CMAKE_CXX_FLAGS MATCHES "sanitize=address")
    set(env "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/fwemu/lsan-libraw1394.supp")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(preload "${runtime}:$<TARGET_FILE:fwemu>")
  elseif(CMAKE_CXX_FLAGS MATCHES "sanitize=thread")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
      OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(preload "${runtime}:$<TARGET_FILE:fwemu>")
  endif()
  set(${preload_var} "${preload}" PARENT_SCOPE)
  set(${env_var} "${env}" PARENT_SCOPE)
endfunction()
