# kestrel-cli for Windows as one ZIP, made from the install rules below:
#   cd build-windows && cpack
# gives kestrel-cli-1.35-win64.zip, one folder of the same name that holds
# kestrel-cli.exe, the manual Kestrel.pdf, README-Windows.txt (the README's section on
# kestrel-cli for Windows) and LICENSE.txt. Unpacked where the user may write, it is a
# portable copy: its settings and results stay beside the .exe.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kestrel-cli)
set(CPACK_PACKAGE_VENDOR "The Kestrel developers")
set(CPACK_PACKAGE_FILE_NAME kestrel-cli-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)

if(TARGET kestrel-cli)
  install(TARGETS kestrel-cli RUNTIME DESTINATION .)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

# The manual is set by the Linux build (groff and cairo are not at hand for Windows).
set(KESTREL_WINDOWS_MANUAL "${PROJECT_SOURCE_DIR}/build/bin/Kestrel.pdf" CACHE FILEPATH
    "Kestrel.pdf as the Linux build made it, for the Windows ZIP")
if(EXISTS "${KESTREL_WINDOWS_MANUAL}")
  install(FILES "${KESTREL_WINDOWS_MANUAL}" DESTINATION .)
else()
  message(WARNING "No manual at ${KESTREL_WINDOWS_MANUAL}: the ZIP will lack Kestrel.pdf (build the Linux one first)")
endif()

# The README's section "kestrel-cli on Windows", with the line ends Notepad expects.
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "\n### kestrel-cli on Windows\n" section_start)
if(section_start LESS 0)
  message(FATAL_ERROR "README.md has no section \"kestrel-cli on Windows\"")
endif()
math(EXPR section_start "${section_start} + 1")
string(SUBSTRING "${readme}" ${section_start} -1 section)
# It ends at the next heading of its level or above (the "# " of a comment in an
# example is none).
foreach(heading "\n## " "\n### ")
  string(FIND "${section}" "${heading}" section_end)
  if(section_end GREATER 0)
    string(SUBSTRING "${section}" 0 ${section_end} section)
  endif()
endforeach()
string(REPLACE "\n" "\r\n" section "${section}\n")
file(WRITE ${CMAKE_BINARY_DIR}/README-Windows.txt "${section}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
install(FILES ${CMAKE_BINARY_DIR}/README-Windows.txt DESTINATION .)

include(CPack)
