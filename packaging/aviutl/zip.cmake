# korvane_dct-VERSION-aviutl.zip, the download for AviUtl users: the .auf and a plain-text readme
# in English and in Japanese, nothing else. Included by win32/CMakeLists.txt after korvane_auf.
#
# The readmes are written for Windows' Notepad: CRLF line ends, and the Japanese one in UTF-8
# with a byte-order mark, which every version of Notepad reads as UTF-8 (without it, older ones
# read it as Shift_JIS).
set(stage ${CMAKE_CURRENT_BINARY_DIR}/aviutl-zip)
set(readme_dir ${PROJECT_SOURCE_DIR}/packaging/aviutl)
string(ASCII 239 187 191 UTF8_BOM)  # @UTF8_BOM@ at the start of readme_ja.txt.in
# Both readmes carry the licence and the runtime's notices.
include(${PROJECT_SOURCE_DIR}/packaging/windows/notices.cmake)
foreach(lang en ja)
    configure_file(${readme_dir}/readme_${lang}.txt.in ${stage}/readme_${lang}.txt @ONLY
        NEWLINE_STYLE CRLF)
endforeach()

set(KORVANE_AVIUTL_ZIP ${CMAKE_BINARY_DIR}/korvane_dct-${PROJECT_VERSION}-aviutl.zip)
set(KORVANE_AVIUTL_ZIP ${KORVANE_AVIUTL_ZIP} PARENT_SCOPE)  # for its test in tests/win32
add_custom_command(OUTPUT ${KORVANE_AVIUTL_ZIP}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:korvane_auf> ${stage}/korvane_dct.auf
    COMMAND ${CMAKE_COMMAND} -E rm -f ${KORVANE_AVIUTL_ZIP}
    COMMAND ${CMAKE_COMMAND} -E tar cf ${KORVANE_AVIUTL_ZIP} --format=zip
            korvane_dct.auf readme_en.txt readme_ja.txt
    WORKING_DIRECTORY ${stage}
    DEPENDS korvane_auf ${stage}/readme_en.txt ${stage}/readme_ja.txt
    COMMENT "AviUtl download: korvane_dct-${PROJECT_VERSION}-aviutl.zip")
add_custom_target(aviutl_zip ALL DEPENDS ${KORVANE_AVIUTL_ZIP})
