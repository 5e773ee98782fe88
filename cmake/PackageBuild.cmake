# Package builds (-DSERVICEAPP_PACKAGE=DEB or RPM), as packaging/debian/rules
# and packaging/rpm/serviceapp.rpmbuild configure them. The build type, flags and
# paths are the distribution's, passed by its tools (dh_auto_configure,
# the RPM recipe's cmake call); the only difference from an ordinary build is the
# installed serviceapp.pc, which names literal paths (see CMakeLists.txt).
# SPDX-License-Identifier: MIT
set(SERVICEAPP_PACKAGE "" CACHE STRING "Configure a distribution package build: DEB or RPM (empty: an ordinary build)")
set_property(CACHE SERVICEAPP_PACKAGE PROPERTY STRINGS "" DEB RPM)
if(SERVICEAPP_PACKAGE AND NOT SERVICEAPP_PACKAGE MATCHES "^(DEB|RPM)$")
  message(FATAL_ERROR "SERVICEAPP_PACKAGE is '${SERVICEAPP_PACKAGE}': use DEB or RPM")
endif()
