# Read by cpack for each generator: packages come only from a package build of
# that generator's family (release flags, licence files, the family's paths).
# SPDX-License-Identifier: MIT
if(CPACK_GENERATOR MATCHES "^(DEB|RPM)$" AND NOT CPACK_GENERATOR STREQUAL CPACK_SERVICEAPP_PACKAGE)
  message(FATAL_ERROR "cpack -G ${CPACK_GENERATOR} needs a build configured with -DSERVICEAPP_PACKAGE=${CPACK_GENERATOR}"
                      " (this one: '${CPACK_SERVICEAPP_PACKAGE}'); ./dev.sh deb and ./dev.sh rpm do it all")
endif()
