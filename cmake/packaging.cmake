# Packages made by cpack from the install rules (cmake/install.cmake):
#   - on Linux, tabulon_<version>_<arch>.deb (cpack -G DEB);
#   - in the MinGW-w64 build, tabulon-<version>-win64.zip (cpack -G ZIP), and
#     tabulon-<version>-x64.msi (the msi target, cmake/windows-package.cmake).
# tools/package.sh builds all three.
set(TABULON_MAINTAINER "Tabulon maintainers <maintainers@tabulon.invalid>"
    CACHE STRING "Maintainer of the packages, \"Name <address>\"")

set(CPACK_PACKAGE_NAME tabulon)
set(CPACK_PACKAGE_VENDOR "Tabulon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TABULON_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "check and repair the Page Allocation Table of Btrieve files")
set(CPACK_PACKAGE_DESCRIPTION
    "Tabulon checks, and on request repairs, the Page Allocation Table (PAT) of a
Btrieve database file of format 6.x or later. It opens the main file with its
extension files and its delta file, walks every PAT pair, compares each entry
with the header of the page it points to, reports every inconsistency and,
with a fix mask, writes the repairs it selects.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Formats with a licence field take the SPDX identifier.
set(CPACK_RPM_PACKAGE_LICENSE ${TABULON_LICENSE})
set(CPACK_FREEBSD_PACKAGE_LICENSE ${TABULON_LICENSE})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-package.cmake)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tabulon-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TABULON_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The libraries come from dpkg-shlibdeps; adduser makes the survey's system
  # user where systemd-sysusers is missing.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  # What a Debian package has beyond the install rules: programs without the
  # compiler's notes, gzipped manual pages, the copyright file and a changelog.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-stage.cmake)
  set(CPACK_TABULON_SOURCE_DIR ${PROJECT_SOURCE_DIR})
  set(CPACK_TABULON_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(CPACK_TABULON_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_TABULON_MANDIR ${CMAKE_INSTALL_MANDIR})
  # /etc/default/tabulon, the settings of the nightly survey, is a conffile;
  # the maintainer scripts make the survey's system user and stop and disable
  # its timer when the package goes.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst
      ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
