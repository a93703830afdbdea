# Run while installing: writes the menu entry with the program's full path
# under the prefix being installed to.
#   KORVELIN_DESKTOP_TEMPLATE  the entry with @KORVELIN_EXEC@ in its Exec line
#   KORVELIN_DESKTOP_ENTRY     where to write it
#   KORVELIN_BINDIR            the program's folder, relative to the prefix or absolute

if(IS_ABSOLUTE "${KORVELIN_BINDIR}")
  set(program "${KORVELIN_BINDIR}/korvelin")
else()
  set(program "${CMAKE_INSTALL_PREFIX}/${KORVELIN_BINDIR}/korvelin")
endif()

# An Exec argument with a space or another reserved character is quoted,
# with ", `, $ and \ escaped inside the quotes; the key file's own escaping
# then doubles every backslash. A literal % is written %%.
set(KORVELIN_EXEC "${program}")
if(NOT program MATCHES "^[A-Za-z0-9/._+-]+$")
  string(REPLACE "\\" "\\\\\\\\" KORVELIN_EXEC "${KORVELIN_EXEC}")
  string(REPLACE "\"" "\\\\\"" KORVELIN_EXEC "${KORVELIN_EXEC}")
  string(REPLACE "`" "\\\\`" KORVELIN_EXEC "${KORVELIN_EXEC}")
  string(REPLACE "$" "\\\\$" KORVELIN_EXEC "${KORVELIN_EXEC}")
  string(REPLACE "%" "%%" KORVELIN_EXEC "${KORVELIN_EXEC}")
  set(KORVELIN_EXEC "\"${KORVELIN_EXEC}\"")
endif()

configure_file("${KORVELIN_DESKTOP_TEMPLATE}" "${KORVELIN_DESKTOP_ENTRY}" @ONLY)
