# Run by cmake --install: writes korvane.pc (PC_OUT) from its template (PC_IN) for the prefix
# being installed into, as a normal absolute path without a trailing slash.
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE KORVANE_PC_PREFIX)
string(REGEX REPLACE "/+$" "" KORVANE_PC_PREFIX "${KORVANE_PC_PREFIX}")
configure_file(${PC_IN} ${PC_OUT} @ONLY)
