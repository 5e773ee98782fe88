# Packages, one per install component, made with `cpack -G DEB` or `cpack -G RPM`
# in a package build (-DSERVICEAPP_PACKAGE=DEB or RPM, see PackageBuild.cmake;
# packaging/build.sh does all of it):
#   component    Debian             RPM               contents
#   runtime      libserviceapp1     serviceapp        the shared library and its SONAME link
#   development  libserviceapp-dev  serviceapp-devel  headers, pkg-config file, CMake package, libserviceapp.so
#   lumlib       liblumlib-standin  lumlib-standin    the stand-in for the closed platform library
# SPDX-License-Identifier: MIT

set(CPACK_PACKAGE_NAME serviceapp)
set(CPACK_PACKAGE_VENDOR "serviceapp")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPackDeb puts a non-default summary in front of every component's own
# description; with CPack's default it leaves the per-package summaries alone.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "serviceapp maintainers <maintainers@serviceapp.invalid>")
set(CPACK_STRIP_FILES ON)  # the build stamp is a non-alloc section, which strip keeps
set(CPACK_COMPONENTS_ALL runtime development lumlib)
# The packaging revision, the same for both families; each family's changelog
# must have an entry for PROJECT_VERSION-SERVICEAPP_PACKAGE_RELEASE.
set(SERVICEAPP_PACKAGE_RELEASE 1)
set(SERVICEAPP_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(SERVICEAPP_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)

# cpack refuses to package anything but a package build of its own family:
# an ordinary build lacks the release flags, the licence and the family's paths.
set(CPACK_SERVICEAPP_PACKAGE "${SERVICEAPP_PACKAGE}")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackGuard.cmake)

# What each package is, for both families: a one-line summary and a description
# of lines short enough for either.
set(SERVICEAPP_SUMMARY_runtime "service lifecycle and System V installation for Linux daemons")
set(SERVICEAPP_DESCRIPTION_runtime
    "libserviceapp gives daemon programs a ready-made service lifecycle (start,
initialize, run until SIGTERM/SIGINT, stop) and installs them as System V
services with an init script and run-level links, for the Debian, Red Hat
and SuSE families. This package holds the shared library.")
set(SERVICEAPP_SUMMARY_development "service lifecycle for Linux daemons - development files")
set(SERVICEAPP_DESCRIPTION_development
    "Headers, the pkg-config file serviceapp.pc and the CMake package ServiceApp
(target ServiceApp::serviceapp) for building daemons on libserviceapp.")
set(SERVICEAPP_SUMMARY_lumlib "stand-in for the platform library libLumLib")
set(SERVICEAPP_DESCRIPTION_lumlib
    "A small libLumLib.so with the platform operations libserviceapp uses (debug
log, instance focus, configuration, service registry), for building and
testing without the platform. Hosts with the real platform library use its
package instead.")

# The licence in every package, as each family keeps it.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE SERVICEAPP_LICENSE_COPYRIGHT REGEX "^Copyright ")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# serviceapp_check_changelog(FILE REGEX): a package build fails early when the
# changelog has no entry for the version being packaged.
function(serviceapp_check_changelog file regex)
  file(STRINGS ${file} first LIMIT_COUNT 1)
  if(NOT first MATCHES "${regex}")
    message(FATAL_ERROR "${file} starts with no entry for ${PROJECT_VERSION}-${SERVICEAPP_PACKAGE_RELEASE}: add one")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
endfunction()

# ---- Debian -------------------------------------------------------------------
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SERVICEAPP_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE serviceapp)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# C and C++ run-time dependencies come from dpkg-shlibdeps; libLumLib is
# found beside the library in the build tree and left to the explicit
# dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(SERVICEAPP_DEB_runtime libserviceapp${PROJECT_VERSION_MAJOR})
set(SERVICEAPP_DEB_development libserviceapp-dev)
set(SERVICEAPP_DEB_lumlib liblumlib-standin)
foreach(component runtime development lumlib)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${SERVICEAPP_DEB_${component}})
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${SERVICEAPP_SUMMARY_${component}}\n${SERVICEAPP_DESCRIPTION_${component}}")
endforeach()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The real platform library's package serves as well as the stand-in.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${SERVICEAPP_DEB_lumlib} | liblumlib")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${SERVICEAPP_PACKAGING_OUT}/deb/symbols
    ${SERVICEAPP_PACKAGING_OUT}/deb/shlibs ${SERVICEAPP_PACKAGING_DIR}/debian/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${SERVICEAPP_DEB_runtime} (= ${PROJECT_VERSION}-${SERVICEAPP_PACKAGE_RELEASE})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)

set(CPACK_DEBIAN_LUMLIB_PACKAGE_SECTION libs)
# Found first through libserviceapp's run path, the stand-in would shadow
# the real platform library, so the two are never installed together.
set(CPACK_DEBIAN_LUMLIB_PACKAGE_CONFLICTS liblumlib)
set(CPACK_DEBIAN_LUMLIB_PACKAGE_CONTROL_EXTRA ${SERVICEAPP_PACKAGING_DIR}/debian/triggers)
# CPackDeb has no Multi-Arch field: the post-build step adds it to these.
set(CPACK_SERVICEAPP_MULTIARCH_SAME ${SERVICEAPP_DEB_runtime} ${SERVICEAPP_DEB_lumlib})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackagingPostBuild.cmake)

if(SERVICEAPP_PACKAGE STREQUAL "DEB")
  set(out ${SERVICEAPP_PACKAGING_OUT}/deb)
  file(MAKE_DIRECTORY ${out})
  serviceapp_check_changelog(${SERVICEAPP_PACKAGING_DIR}/debian/changelog
      "^serviceapp \\(${PROJECT_VERSION}-${SERVICEAPP_PACKAGE_RELEASE}\\) ")
  # gzip -n: no name or time stamp, so the file is the same on every architecture.
  execute_process(COMMAND gzip -9nc INPUT_FILE ${SERVICEAPP_PACKAGING_DIR}/debian/changelog
      OUTPUT_FILE ${out}/changelog.Debian.gz RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip of the Debian changelog failed")
  endif()

  # The machine-readable copyright file, made from LICENSE.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE text)
  string(REGEX REPLACE "^.*\nCopyright [(]c[)] [^\n]*\n\n" "" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REGEX REPLACE "\n\n" "\n.\n" text "${text}")
  string(REPLACE "\n" "\n " text "${text}")
  string(REGEX REPLACE "^Copyright [(]c[)] " "" holder "${SERVICEAPP_LICENSE_COPYRIGHT}")
  file(WRITE ${out}/copyright
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
      "Upstream-Name: serviceapp\n"
      "Upstream-Contact: ${CPACK_PACKAGE_CONTACT}\n\n"
      "Files: *\n"
      "Copyright: ${holder}\n"
      "License: MIT\n ${text}\n")

  # The symbols file: every exported symbol of the ABI baseline, with the
  # upstream version that first shipped it (symbols-since, else the first release).
  set(first_release 1.0.0.0)
  set(baseline ${PROJECT_SOURCE_DIR}/abi/libserviceapp.symbols)
  set(since_file ${SERVICEAPP_PACKAGING_DIR}/debian/symbols-since)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${baseline} ${since_file})
  file(STRINGS ${baseline} exported REGEX "^[^ ]+")
  set(since_entries "")
  if(EXISTS ${since_file})
    file(STRINGS ${since_file} since_entries REGEX "^[^#]")
  endif()
  set(names "")
  foreach(line IN LISTS exported)
    string(REGEX REPLACE " .*" "" name "${line}")
    list(APPEND names ${name})
    set(version_${name} ${first_release})
  endforeach()
  foreach(entry IN LISTS since_entries)
    if(NOT entry MATCHES "^([^ ]+) +([0-9][0-9.]*)$")
      message(FATAL_ERROR "${since_file}: not 'NAME VERSION': ${entry}")
    endif()
    if(NOT CMAKE_MATCH_1 IN_LIST names)
      message(FATAL_ERROR "${since_file}: ${CMAKE_MATCH_1} is not exported (see ${baseline})")
    endif()
    if(CMAKE_MATCH_2 VERSION_GREATER PROJECT_VERSION)
      message(FATAL_ERROR "${since_file}: ${CMAKE_MATCH_1} dates from ${CMAKE_MATCH_2}, after ${PROJECT_VERSION}")
    endif()
    set(version_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
  endforeach()
  set(symbols "libserviceapp.so.${PROJECT_VERSION_MAJOR} ${SERVICEAPP_DEB_runtime} #MINVER#\n")
  string(APPEND symbols "* Build-Depends-Package: ${SERVICEAPP_DEB_development}\n")
  foreach(name IN LISTS names)
    string(APPEND symbols " ${name}@Base ${version_${name}}\n")
  endforeach()
  file(WRITE ${out}/symbols "${symbols}")
  # A shlibs file besides, for tools that read only that: the upstream
  # version, like the symbols (CPack's own would add the Debian revision).
  file(WRITE ${out}/shlibs
      "libserviceapp ${PROJECT_VERSION_MAJOR} ${SERVICEAPP_DEB_runtime} (>= ${PROJECT_VERSION})\n")

  foreach(component runtime development lumlib)
    set(package ${SERVICEAPP_DEB_${component}})
    install(FILES ${out}/copyright ${out}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    set(PACKAGE ${package})
    configure_file(${SERVICEAPP_PACKAGING_DIR}/debian/lintian-overrides.in ${out}/${package}.lintian-overrides @ONLY)
    set(extra ${SERVICEAPP_PACKAGING_DIR}/debian/${package}.lintian-overrides)
    if(EXISTS ${extra})
      file(READ ${extra} text)
      file(APPEND ${out}/${package}.lintian-overrides "${text}")
    endif()
    install(FILES ${out}/${package}.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
  endforeach()
endif()

# ---- RPM (Red Hat and SuSE families) -------------------------------------------
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${SERVICEAPP_PACKAGE_RELEASE})
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_VENDOR serviceapp)
set(CPACK_RPM_CHANGELOG_FILE ${SERVICEAPP_PACKAGING_DIR}/rpm/changelog)
# A Packager tag, and no /usr/lib/.build-id links: those belong to debuginfo
# packages, and separate ones of them would collide between packages.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}\n%define _build_id_links none")
# Directories the system's packages own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/lib64/pkgconfig /usr/lib64/cmake /usr/share/licenses)

set(SERVICEAPP_RPM_runtime serviceapp)
set(SERVICEAPP_RPM_development serviceapp-devel)
set(SERVICEAPP_RPM_lumlib lumlib-standin)
set(CPACK_RPM_RUNTIME_PACKAGE_GROUP "System/Libraries")
set(CPACK_RPM_DEVELOPMENT_PACKAGE_GROUP "Development/Libraries/C and C++")
set(CPACK_RPM_LUMLIB_PACKAGE_GROUP "System/Libraries")
foreach(component runtime development lumlib)
  string(TOUPPER ${component} upper)
  set(package ${SERVICEAPP_RPM_${component}})
  set(CPACK_RPM_${upper}_PACKAGE_NAME ${package})
  # Red Hat summaries start with a capital.
  string(SUBSTRING "${SERVICEAPP_SUMMARY_${component}}" 0 1 first)
  string(SUBSTRING "${SERVICEAPP_SUMMARY_${component}}" 1 -1 rest)
  string(TOUPPER "${first}" first)
  set(CPACK_RPM_${upper}_PACKAGE_SUMMARY "${first}${rest}")
  set(CPACK_RPM_${upper}_PACKAGE_DESCRIPTION "${SERVICEAPP_DESCRIPTION_${component}}")
  set(CPACK_RPM_${upper}_USER_FILELIST "%license /usr/${CMAKE_INSTALL_DATADIR}/licenses/${package}/LICENSE")
endforeach()
# The platform library for this architecture: the real one's package (lumlib)
# provides lumlib(x86-64) by its name, the stand-in explicitly; found first
# through libserviceapp's run path, the stand-in would shadow the real one, so
# the two never go together.
set(CPACK_RPM_RUNTIME_PACKAGE_REQUIRES "lumlib%{?_isa}")
set(CPACK_RPM_LUMLIB_PACKAGE_PROVIDES "lumlib%{?_isa}")
set(CPACK_RPM_LUMLIB_PACKAGE_CONFLICTS "lumlib")
set(CPACK_RPM_DEVELOPMENT_PACKAGE_REQUIRES "${SERVICEAPP_RPM_runtime}%{?_isa} = %{version}-%{release}")

if(SERVICEAPP_PACKAGE STREQUAL "RPM")
  serviceapp_check_changelog(${SERVICEAPP_PACKAGING_DIR}/rpm/changelog
      " - ${PROJECT_VERSION}-${SERVICEAPP_PACKAGE_RELEASE}$")
  # The loader cache after installing and removing a package with libraries.
  file(WRITE ${SERVICEAPP_PACKAGING_OUT}/rpm/ldconfig "/sbin/ldconfig\n")
  foreach(upper RUNTIME LUMLIB)
    set(CPACK_RPM_${upper}_POST_INSTALL_SCRIPT_FILE ${SERVICEAPP_PACKAGING_OUT}/rpm/ldconfig)
    set(CPACK_RPM_${upper}_POST_UNINSTALL_SCRIPT_FILE ${SERVICEAPP_PACKAGING_OUT}/rpm/ldconfig)
  endforeach()
  foreach(component runtime development lumlib)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DATADIR}/licenses/${SERVICEAPP_RPM_${component}} COMPONENT ${component})
  endforeach()
endif()

include(CPack)
