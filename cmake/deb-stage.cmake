# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files of the .deb, as
# Debian's policy asks: strips the compiler's notes from the programs,
# compresses the manual pages with gzip -9n and adds the copyright file and a
# changelog.gz of the version; adds the nightly survey's systemd units (not
# enabled), the script they run, the survey's system user (sysusers.d) and
# their settings in /etc/default/tabulon.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# The staged files, under the prefix of the package (/usr).
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${root}/${CPACK_TABULON_MANDIR}")
  message(FATAL_ERROR "deb-stage: no ${CPACK_TABULON_MANDIR} in ${root}")
endif()

# cpack has already stripped the programs (CPACK_STRIP_FILES).
find_program(STRIP strip REQUIRED)
file(GLOB programs "${root}/${CPACK_TABULON_BINDIR}/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND ${STRIP} --remove-section=.comment --remove-section=.note "${program}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

find_program(GZIP gzip REQUIRED)
file(GLOB_RECURSE pages "${root}/${CPACK_TABULON_MANDIR}/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    execute_process(COMMAND ${GZIP} -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

set(doc "${root}/${CPACK_TABULON_DOCDIR}")
file(COPY "${CPACK_TABULON_SOURCE_DIR}/packaging/copyright" DESTINATION "${doc}")

# A native package's changelog: one entry for this version.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
  "tabulon (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * Tabulon ${CPACK_PACKAGE_VERSION}.\n\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
execute_process(COMMAND ${GZIP} -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

# The survey's units, where Debian's systemd looks for a package's units, and
# their settings (a conffile, see CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA).
set(units "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/lib/systemd/system")
file(COPY "${CPACK_TABULON_SOURCE_DIR}/packaging/tabulon-survey.service"
          "${CPACK_TABULON_SOURCE_DIR}/packaging/tabulon-survey.timer"
     DESTINATION "${units}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY "${CPACK_TABULON_SOURCE_DIR}/packaging/tabulon-survey"
     DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/libexec/tabulon"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                      WORLD_EXECUTE)
# The generator that makes the service wait for the mounts of its folders.
file(COPY "${CPACK_TABULON_SOURCE_DIR}/packaging/tabulon-survey-generator"
     DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/lib/systemd/system-generators"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                      WORLD_EXECUTE)
file(MAKE_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/lib/sysusers.d")
file(COPY_FILE "${CPACK_TABULON_SOURCE_DIR}/packaging/sysusers.conf"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/lib/sysusers.d/tabulon.conf")
file(COPY "${CPACK_TABULON_SOURCE_DIR}/packaging/tabulon.default"
     DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/default"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RENAME "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/default/tabulon.default"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/default/tabulon")
