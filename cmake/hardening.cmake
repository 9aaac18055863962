# SPDX-License-Identifier: GPL-3.0-or-later
# The programs handle outside bytes (deck buffers, files) and open the user's FireWire bus, so they
# are built as Debian builds what it ships (dpkg-buildflags with hardening=+all): fortified libc
# calls, a stack protector, format strings checked, position-independent executables, and
# relocations made read-only and resolved at start (relro, bindnow). The presets turn this on; a
# package build leaves it off and passes the distribution's own flags instead.
option(TESSALINE_HARDENING "Build with Debian's hardening flags" OFF)

if(TESSALINE_HARDENING)
  # Fortification works only with the optimiser on; a Debug build would just get glibc's warning.
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security
                      "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
  add_link_options(-Wl,-z,relro -Wl,-z,now)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
endif()
