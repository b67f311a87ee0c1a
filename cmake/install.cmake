# The version header of the programs, the install rules (the programs, their
# manual pages and the README, in the GNU layout; a flat folder on Windows)
# and the check of the manual pages.
include(GNUInstallDirs)

# The installed programs, one a line. Each has its manual page in
# man/<program>.1.in (or man/<program>.1).
set(TABULON_PROGRAMS
  tabulon
)
# The companion programs, where their libraries were found.
foreach(program tabulon-undo tabulon-inspect)
  if(TARGET ${program})
    list(APPEND TABULON_PROGRAMS ${program})
  endif()
endforeach()

# <build>/tabulon_version.h defines TABULON_VERSION ("1.1.0") from the
# project() version and TABULON_LICENSE_LINE; a program gets them with
# target_link_libraries(<program> PRIVATE tabulon_version).
set(TABULON_LICENSE_LINE "Licensed under the Apache License, Version 2.0 (${TABULON_LICENSE}).")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tabulon_version.h.in
               ${PROJECT_BINARY_DIR}/tabulon_version.h @ONLY)
add_library(tabulon_version INTERFACE)
target_include_directories(tabulon_version INTERFACE ${PROJECT_BINARY_DIR})

foreach(program IN LISTS TABULON_PROGRAMS)
  if(NOT TARGET ${program})
    message(FATAL_ERROR "TABULON_PROGRAMS names ${program}, which is no target")
  endif()
endforeach()

if(WIN32)
  # The zip holds the programs and README.txt side by side.
  install(TARGETS ${TABULON_PROGRAMS} RUNTIME DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  # The licence, the project's notice and those of the libraries built into
  # the companion programs, with Windows line ends.
  foreach(notice LICENSE NOTICE packaging/THIRD-PARTY.txt)
    get_filename_component(name ${notice} NAME)
    file(READ ${PROJECT_SOURCE_DIR}/${notice} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/notices/${name} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${notice})
    install(FILES ${PROJECT_BINARY_DIR}/notices/${name} DESTINATION .)
  endforeach()
  return()
endif()

install(TARGETS ${TABULON_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The README with the docs/ folder beside it, so that its links (the JSON
# schemas, the sample pictures) resolve where it is installed.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
# The Prometheus alerting rules of the survey's metrics.
install(FILES packaging/tabulon-alerts.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/tabulon)

# The manual pages get the version of the project.
set(TABULON_MAN_PAGES)
foreach(program IN LISTS TABULON_PROGRAMS)
  set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
  set(built ${PROJECT_BINARY_DIR}/man/${program}.1)
  if(EXISTS ${page}.in)
    configure_file(${page}.in ${built} @ONLY)
  elseif(EXISTS ${page})
    configure_file(${page} ${built} COPYONLY)
  else()
    message(WARNING "man/${program}.1.in is missing: ${program} has no manual page")
    continue()
  endif()
  list(APPEND TABULON_MAN_PAGES ${built})
endforeach()
install(FILES ${TABULON_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# mandoc's lint of every manual page: nothing at warning level or above.
# Skipped when mandoc is not installed.
if(BUILD_TESTING AND TABULON_MAN_PAGES)
  add_test(NAME man_lint COMMAND sh ${PROJECT_SOURCE_DIR}/tools/man-lint.sh ${TABULON_MAN_PAGES})
  set_tests_properties(man_lint PROPERTIES SKIP_RETURN_CODE 77 LABELS man)
endif()
