# The texts that go with every copy of a Windows plug-in, for its readmes or package.txt:
#   KORVANE_LICENSE_TEXT     the licence as LICENSE words it (MIT asks for its notice to go along)
#   KORVANE_RUNTIME_NOTICES  the notices of the mingw-w64 threads library linked into the DLL
# Both with CRLF line ends, since configure_file's NEWLINE_STYLE turns only the template's own
# line ends into CRLF, not those of the text put into it.
function(korvane_read_notice file variable)
    file(READ ${file} text)
    string(STRIP "${text}" text)
    string(REPLACE "\n" "\r\n" text "${text}")
    set(${variable} "${text}" PARENT_SCOPE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
endfunction()
korvane_read_notice(${PROJECT_SOURCE_DIR}/LICENSE KORVANE_LICENSE_TEXT)
korvane_read_notice(${CMAKE_CURRENT_LIST_DIR}/runtime-notices.txt KORVANE_RUNTIME_NOTICES)
