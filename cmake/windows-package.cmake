# What the Windows packages carry beyond the programs and the notices of
# install.cmake, and the Windows Installer package. Included by
# packaging.cmake in a MinGW-w64 build.
#
#   - the manual pages as HTML (tabulon.html, ...), rendered by mandoc;
#   - WINDOWS.txt, the Windows guide (docs/windows.md with Windows line ends);
#   - tabulon-survey.xml, the Task Scheduler definition of the nightly survey,
#     in UTF-16 with a byte order mark, as Task Scheduler writes its own;
#   - the msi target: build/.../tabulon-<version>-x64.msi, made with wixl from
#     packaging/tabulon.wxs and the staged install (the zip's content).
#
# TABULON_MSI_VERSION sets the package's version (numeric major.minor.build,
# as Windows Installer compares them) instead of the project's, e.g. to build
# a newer package for an upgrade test.

set(TABULON_MSI_VERSION "" CACHE STRING
    "Version of the MSI package, major.minor.build (empty: the project's version)")

# The manual pages, with the project's version, as HTML pages that link to
# each other.
find_program(TABULON_MANDOC mandoc)
set(tabulon_html_pages)
if(TABULON_MANDOC)
  foreach(program IN LISTS TABULON_PROGRAMS)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    configure_file(${PROJECT_SOURCE_DIR}/man/${program}.1.in ${page} @ONLY)
    set(html ${PROJECT_BINARY_DIR}/html/${program}.html)
    add_custom_command(OUTPUT ${html}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/html
      COMMAND ${TABULON_MANDOC} -T html -O man=%N.html ${page} > ${html}
      DEPENDS ${page}
      VERBATIM)
    list(APPEND tabulon_html_pages ${html})
  endforeach()
  add_custom_target(tabulon_html ALL DEPENDS ${tabulon_html_pages})
  install(FILES ${tabulon_html_pages} DESTINATION .)
else()
  message(WARNING "mandoc not found: the Windows packages will lack the HTML manuals")
endif()

# A text file with Windows line ends.
function(tabulon_windows_text source target)
  file(READ ${PROJECT_SOURCE_DIR}/${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${target} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${source})
endfunction()

tabulon_windows_text(docs/windows.md ${PROJECT_BINARY_DIR}/WINDOWS.txt)
install(FILES ${PROJECT_BINARY_DIR}/WINDOWS.txt DESTINATION .)

# The task definition: the declaration names UTF-16, iconv writes it so.
file(READ ${PROJECT_SOURCE_DIR}/packaging/tabulon-survey.xml task)
string(REPLACE "encoding=\"UTF-8\"" "encoding=\"UTF-16\"" task "${task}")
string(REPLACE "\n" "\r\n" task "${task}")
file(WRITE ${PROJECT_BINARY_DIR}/task/tabulon-survey.utf8.xml "${task}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/packaging/tabulon-survey.xml)
execute_process(COMMAND iconv -f UTF-8 -t UTF-16
  INPUT_FILE ${PROJECT_BINARY_DIR}/task/tabulon-survey.utf8.xml
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/task/tabulon-survey.xml
  RESULT_VARIABLE iconv_status)
if(NOT iconv_status EQUAL 0)
  message(FATAL_ERROR "iconv could not write the task definition in UTF-16")
endif()
install(FILES ${PROJECT_BINARY_DIR}/task/tabulon-survey.xml DESTINATION .)

# --- the MSI ----------------------------------------------------------------
if(TABULON_MSI_VERSION)
  set(msi_version ${TABULON_MSI_VERSION})
else()
  set(msi_version ${PROJECT_VERSION})
endif()
if(NOT msi_version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" OR CMAKE_MATCH_1 GREATER 255
   OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
  message(FATAL_ERROR "MSI version ${msi_version}: Windows Installer takes major.minor.build, "
                      "at most 255.255.65535")
endif()

find_program(TABULON_WIXL wixl)
find_program(TABULON_MSIBUILD msibuild)
find_program(TABULON_MSIINFO msiinfo)
list(LENGTH TABULON_PROGRAMS program_count)
if(NOT TABULON_WIXL OR NOT TABULON_MSIBUILD OR NOT TABULON_MSIINFO OR NOT TABULON_MANDOC
   OR program_count LESS 3)
  message(STATUS "No msi target: it needs wixl, msitools, mandoc and the three programs")
  return()
endif()

set(msi ${PROJECT_BINARY_DIR}/tabulon-${msi_version}-x64.msi)
set(stage ${PROJECT_BINARY_DIR}/msi-stage)
add_custom_command(OUTPUT ${msi}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${stage} --strip
  # wixl takes the sources' paths relative to the working folder.
  COMMAND ${TABULON_WIXL} -a x64 -D Version=${msi_version} -D StageDir=msi-stage
          -o ${msi}.part ${PROJECT_SOURCE_DIR}/packaging/tabulon.wxs
  COMMAND ${CMAKE_COMMAND} -D MSI=${msi}.part -D MSIBUILD=${TABULON_MSIBUILD}
          -D MSIINFO=${TABULON_MSIINFO} -P ${CMAKE_CURRENT_LIST_DIR}/msi-tables.cmake
  COMMAND ${CMAKE_COMMAND} -E rename ${msi}.part ${msi}
  DEPENDS ${TABULON_PROGRAMS} ${tabulon_html_pages} ${PROJECT_SOURCE_DIR}/packaging/tabulon.wxs
          ${CMAKE_CURRENT_LIST_DIR}/msi-tables.cmake ${PROJECT_BINARY_DIR}/WINDOWS.txt
          ${PROJECT_BINARY_DIR}/task/tabulon-survey.xml ${PROJECT_BINARY_DIR}/README.txt
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Building tabulon-${msi_version}-x64.msi"
  VERBATIM)
add_custom_target(msi DEPENDS ${msi})
