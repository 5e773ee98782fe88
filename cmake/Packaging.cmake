# Debian packages, made with `cpack -G DEB` in the build directory: one per
# install component.
#   runtime      libserviceapp1        the shared library and its SONAME link
#   development  libserviceapp-dev     headers, pkg-config file, CMake package, libserviceapp.so
#   lumlib       liblumlib-standin     the stand-in for the closed platform library
# The packages install under /usr; configure with -DCMAKE_INSTALL_PREFIX=/usr to
# get Debian's multiarch library directory (else /usr/lib).

set(CPACK_PACKAGE_NAME serviceapp)
set(CPACK_PACKAGE_VENDOR "serviceapp")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPackDeb puts a non-default summary in front of every component's own
# description; with CPack's default it leaves the per-package summaries alone.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "serviceapp maintainers <maintainers@serviceapp.invalid>")
set(CPACK_STRIP_FILES ON)  # the build stamp is a non-alloc section, which strip keeps
set(CPACK_COMPONENTS_ALL runtime development lumlib)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# C and C++ run-time dependencies come from dpkg-shlibdeps; libLumLib is
# found beside the library in the build tree and left to the explicit
# dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# A shlibs file, so that packages built against ours get the right dependency.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(SERVICEAPP_DEB_RUNTIME libserviceapp${PROJECT_VERSION_MAJOR})
set(SERVICEAPP_DEB_STANDIN liblumlib-standin)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${SERVICEAPP_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The real platform library's package serves as well as the stand-in.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${SERVICEAPP_DEB_STANDIN} | liblumlib")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "service lifecycle and System V installation for Linux daemons\n\
libserviceapp gives daemon programs a ready-made service lifecycle (start,\n\
initialize, run until SIGTERM/SIGINT, stop) and installs them as System V\n\
services with an init script and run-level links. This package holds the\n\
shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libserviceapp-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${SERVICEAPP_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "service lifecycle for Linux daemons - development files\n\
Headers, the pkg-config file serviceapp.pc and the CMake package ServiceApp\n\
(target ServiceApp::serviceapp) for building daemons on libserviceapp.")

set(CPACK_DEBIAN_LUMLIB_PACKAGE_NAME ${SERVICEAPP_DEB_STANDIN})
set(CPACK_DEBIAN_LUMLIB_PACKAGE_SECTION libs)
# Found first through libserviceapp's run path, the stand-in would shadow
# the real platform library, so the two are never installed together.
set(CPACK_DEBIAN_LUMLIB_PACKAGE_CONFLICTS liblumlib)
set(CPACK_DEBIAN_LUMLIB_DESCRIPTION
    "stand-in for the platform library libLumLib\n\
A small libLumLib.so with the platform operations libserviceapp uses (debug\n\
log, instance focus, configuration, service registry), for building and\n\
testing without the platform. Hosts with the real platform library use its\n\
package, liblumlib, instead.")

include(CPack)
