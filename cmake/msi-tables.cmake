# cmake -D MSI=<package> -D MSIBUILD=<msibuild> -D MSIINFO=<msiinfo> -P msi-tables.cmake
#
# Completes the package that wixl built from packaging/tabulon.wxs with what
# wixl's input language cannot say:
#   - the installation folder at the end of the system PATH (the Environment
#     table: "=-*PATH" sets the system variable on install and takes the part
#     back on removal; "[~];" keeps what is there), with the actions that
#     write and remove it;
#   - IncludeMaximum (512) on the upgrade range of older versions, so that a
#     package of the same version replaces the installed one too.

function(msi_query query)
  execute_process(COMMAND ${MSIBUILD} ${MSI} -q "${query}"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "msibuild failed on: ${query}\n${out}")
  endif()
endfunction()

msi_query("CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, \
`Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, \
`Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)")
msi_query("INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) \
VALUES ('TabulonPath', '=-*PATH', '[~];[INSTALLDIR]', 'tabulon.exe')")
msi_query("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) \
VALUES ('RemoveEnvironmentStrings', 3300)")
msi_query("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) \
VALUES ('WriteEnvironmentStrings', 5200)")

# The Upgrade row of TABULON_OLDER: its attributes are part of the key, so the
# row is replaced rather than updated.
execute_process(COMMAND ${MSIINFO} export ${MSI} Upgrade OUTPUT_VARIABLE rows RESULT_VARIABLE status)
string(REPLACE "\r" "" rows "${rows}")
string(REGEX MATCH "\n(\\{[-0-9A-F]+\\})\t([0-9.]*)\t([0-9.]*)\t\t([0-9]+)\t\tTABULON_OLDER" row "${rows}")
if(NOT status EQUAL 0 OR NOT row)
  message(FATAL_ERROR "no upgrade range TABULON_OLDER in ${MSI}:\n${rows}")
endif()
set(code ${CMAKE_MATCH_1})
set(min ${CMAKE_MATCH_2})
set(max ${CMAKE_MATCH_3})
# 1 migrates the feature states, 256 and 512 include both ends of the range.
math(EXPR attributes "${CMAKE_MATCH_4} | 1 | 256 | 512")
msi_query("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'TABULON_OLDER'")
msi_query("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, \
`ActionProperty`) VALUES ('${code}', '${min}', '${max}', ${attributes}, 'TABULON_OLDER')")
