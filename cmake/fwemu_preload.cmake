# SPDX-License-Identifier: GPL-3.0-or-later
# What a test needs to run a program on the emulated FireWire bus (tests/fwemu): the LD_PRELOAD
# list, with a sanitizer build's runtime first as it must be.
function(fwemu_preload preload_var)
  set(preload "$<TARGET_FILE:fwemu>")
  if(CMAKE_CXX_FLAGS MATCHES "sanitize=address")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(preload "${runtime}:$<TARGET_FILE:fwemu>")
  elseif(CMAKE_CXX_FLAGS MATCHES "sanitize=thread")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
      OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(preload "${runtime}:$<TARGET_FILE:fwemu>")
  endif()
  set(${preload_var} "${preload}" PARENT_SCOPE)
endfunction()
