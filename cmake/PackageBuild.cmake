# Package builds (-DSERVICEAPP_PACKAGE=DEB or RPM): release builds with the
# distribution's hardening flags, whatever the caller passed or left out,
# installed under /usr in the family's library directory.
# SPDX-License-Identifier: MIT
# Included before GNUInstallDirs, which would otherwise pick the library directory.
set(SERVICEAPP_PACKAGE "" CACHE STRING "Configure a package build for one family: DEB or RPM (empty: an ordinary build)")
set_property(CACHE SERVICEAPP_PACKAGE PROPERTY STRINGS "" DEB RPM)
if(NOT SERVICEAPP_PACKAGE)
  return()
endif()
if(NOT SERVICEAPP_PACKAGE MATCHES "^(DEB|RPM)$")
  message(FATAL_ERROR "SERVICEAPP_PACKAGE is '${SERVICEAPP_PACKAGE}': use DEB or RPM")
endif()

# The flags come from dpkg-buildflags for both families: the RPMs are built on
# Debian with the same toolchain. A clean environment keeps the caller's
# DEB_BUILD_OPTIONS (noopt, ...) and DEB_*FLAGS_* out; the system's own
# buildflags.conf still applies.
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
      COMMAND env -i PATH=$ENV{PATH} DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get ${kind}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE SERVICEAPP_DPKG_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags failed (${status}); package builds need dpkg-dev")
  endif()
endforeach()
if(NOT SERVICEAPP_DPKG_CPPFLAGS MATCHES "_FORTIFY_SOURCE")
  message(FATAL_ERROR "dpkg-buildflags gave no fortification: '${SERVICEAPP_DPKG_CPPFLAGS}'")
endif()

set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
set(CMAKE_CXX_FLAGS "${SERVICEAPP_DPKG_CPPFLAGS} ${SERVICEAPP_DPKG_CXXFLAGS}" CACHE STRING "C++ flags" FORCE)
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -g -DNDEBUG" CACHE STRING "C++ flags for RelWithDebInfo" FORCE)
# RPM-based systems expect both symbol hash sections in a library, the
# classic one (.hash) that older tools read too; Debian's toolchain writes
# only .gnu.hash.
set(hash_style "")
if(SERVICEAPP_PACKAGE STREQUAL "RPM")
  set(hash_style "-Wl,--hash-style=both")
endif()
foreach(kind SHARED EXE MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS "${SERVICEAPP_DPKG_LDFLAGS} ${hash_style}" CACHE STRING "Linker flags" FORCE)
  set(CMAKE_${kind}_LINKER_FLAGS_RELWITHDEBINFO "" CACHE STRING "Linker flags for RelWithDebInfo" FORCE)
endforeach()
set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
# Packages hold the two libraries and the development files only.
foreach(part TESTS EXAMPLES FUZZERS)
  set(SERVICEAPP_BUILD_${part} OFF CACHE BOOL "Off in package builds" FORCE)
endforeach()

if(SERVICEAPP_PACKAGE STREQUAL "RPM")
  # Where the Red Hat and SuSE loaders look, rather than Debian's multiarch directory.
  set(CMAKE_INSTALL_LIBDIR lib64 CACHE PATH "Library directory" FORCE)
  # Those families install libraries executable (CMake follows Debian's rule on a Debian host).
  set(CMAKE_INSTALL_SO_NO_EXE 0 CACHE INTERNAL "Install .so files without execute permission")
else()
  # GNUInstallDirs then gives Debian's multiarch directory for the prefix /usr.
  unset(CMAKE_INSTALL_LIBDIR CACHE)
  set(CMAKE_INSTALL_SO_NO_EXE 1 CACHE INTERNAL "Install .so files without execute permission")
endif()
