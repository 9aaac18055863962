# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers for installing documentation: compressed manual pages, the changelog, and the release
# the changelog announces.
find_program(TESSALINE_GZIP gzip REQUIRED)

# Installs FILE compressed as DESTINATION/<name>.gz. Best compression, and neither the name nor a
# time stamp inside, so the same text always gives the same bytes (as Debian wants them).
function(tessaline_install_gzipped file destination)
  get_filename_component(name "${file}" NAME)
  set(gz "${CMAKE_CURRENT_BINARY_DIR}/${name}.gz")
  execute_process(COMMAND "${TESSALINE_GZIP}" -9nc "${file}" OUTPUT_FILE "${gz}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${file}: ${result}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  install(FILES "${gz}" DESTINATION "${destination}")
endfunction()

# A manual page for section 1, with @PROJECT_VERSION@ and the like filled in.
function(tessaline_install_manpage source)
  get_filename_component(name "${source}" NAME)
  configure_file("${source}" "${CMAKE_CURRENT_BINARY_DIR}/${name}" @ONLY)
  tessaline_install_gzipped("${CMAKE_CURRENT_BINARY_DIR}/${name}" "${CMAKE_INSTALL_MANDIR}/man1")
endfunction()

set(tessaline_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)

# The latest entry of debian/changelog is the release: its version should be the project's, and
# its date (RFC 5322 in the trailer line) becomes TESSALINE_RELEASE_DATE as YYYY-MM-DD.
function(tessaline_read_changelog changelog)
  file(STRINGS "${changelog}" lines)
  list(GET lines 0 heading)
  if(NOT heading MATCHES "^tessaline \\(([^)]+)\\) ")
    message(FATAL_ERROR "${changelog}: the first line is no entry heading: ${heading}")
  endif()
  set(version "${CMAKE_MATCH_1}")
  if(NOT version STREQUAL PROJECT_VERSION)
    message(WARNING "${changelog}: the latest entry is ${version}, the project is "
                    "${PROJECT_VERSION}; add an entry for ${PROJECT_VERSION}")
  endif()
  set(date "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^ -- .*>  [A-Z][a-z][a-z], ([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
      set(day "${CMAKE_MATCH_1}")
      set(year "${CMAKE_MATCH_3}")
      list(FIND tessaline_months "${CMAKE_MATCH_2}" month)
      break()
    endif()
  endforeach()
  if(NOT DEFINED day OR month EQUAL -1)
    message(FATAL_ERROR "${changelog}: the latest entry has no trailer line with a valid date")
  endif()
  math(EXPR month "${month} + 1")
  if(month LESS 10)
    set(month "0${month}")
  endif()
  if(day MATCHES "^[0-9]$")
    set(day "0${day}")
  endif()
  set(TESSALINE_RELEASE_VERSION "${version}" PARENT_SCOPE)
  set(TESSALINE_RELEASE_DATE "${year}-${month}-${day}" PARENT_SCOPE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
endfunction()
