# cmake -DPACKAGE=korvane_dct-VERSION.au2pkg.zip -DPLUGIN=korvane_dct.auf2 -DVERSION=... -DWORK=dir
#       -P check-package.cmake
# The package as ExEdit2 installs it: exactly Plugin/korvane_dct/korvane_dct.auf2 (the plug-in as
# built), package.txt and package.ini; the texts with Windows line ends, package.txt UTF-8 with a
# byte-order mark, in Japanese and English, naming the four track bars and the licence (MIT, with
# the whole text of LICENSE); package.ini's [package] with id, name and information.
get_filename_component(PACKAGE "${PACKAGE}" ABSOLUTE)
set(problems "")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${PACKAGE}
    OUTPUT_VARIABLE listing RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot list ${PACKAGE}: ${err}")
endif()
string(REPLACE "\n" ";" entries "${listing}")
set(files "")
foreach(e IN LISTS entries)
    if(e AND NOT e MATCHES "/$")  # directory entries aside
        list(APPEND files "${e}")
    endif()
endforeach()
list(SORT files)
set(expected Plugin/korvane_dct/korvane_dct.auf2 package.ini package.txt)
if(NOT files STREQUAL expected)
    list(JOIN files ", " found)
    list(APPEND problems "holds [${found}], expected [Plugin/korvane_dct/korvane_dct.auf2, package.ini, package.txt]")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${PACKAGE} WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE status)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${PLUGIN}
    ${WORK}/Plugin/korvane_dct/korvane_dct.auf2 RESULT_VARIABLE differs)
if(NOT status EQUAL 0 OR NOT differs EQUAL 0)
    list(APPEND problems "its korvane_dct.auf2 is not the plug-in as built")
endif()

function(check_text name)
    if(NOT EXISTS ${WORK}/${name})
        return()
    endif()
    # file(READ) drops carriage returns, so the line ends are counted in the bytes.
    file(READ ${WORK}/${name} bytes HEX)
    string(REGEX REPLACE "(..)" "\\1 " bytes "${bytes}")
    string(REGEX MATCHALL "0a " all_ends "${bytes}")
    string(REGEX MATCHALL "0d 0a " crlf_ends "${bytes}")
    file(READ ${WORK}/${name} text)
    list(LENGTH all_ends n_all)
    list(LENGTH crlf_ends n_crlf)
    if(n_all EQUAL 0 OR NOT n_all EQUAL n_crlf)
        list(APPEND problems "${name}: not every line ends in CR LF")
    endif()
    foreach(needle IN LISTS ARGN)
        string(FIND "${text}" "${needle}" at)
        if(at EQUAL -1)
            list(APPEND problems "${name}: no \"${needle}\"")
        endif()
    endforeach()
    set(problems "${problems}" PARENT_SCOPE)
endfunction()

check_text(package.ini "[package]\nid=korvane_dct\n" "\nname=Korvane DCT\n"
    "\ninformation=Korvane DCT ${VERSION} ")
check_text(package.txt "Korvane DCT ${VERSION}" "トラックバー" "Track bars"
    threshold quant n_shift zero_weight "0~255" "0..255" "MIT" "winpthreads" "Lockless Inc.")
if(EXISTS ${WORK}/package.txt)
    # The licence as LICENSE words it.
    file(READ ${CMAKE_CURRENT_LIST_DIR}/../../LICENSE license)
    string(STRIP "${license}" license)
    file(READ ${WORK}/package.txt text)
    string(REPLACE "\r" "" text "${text}")
    string(FIND "${text}" "${license}" at)
    if(at EQUAL -1)
        list(APPEND problems "package.txt: not the whole text of LICENSE")
    endif()
    file(READ ${WORK}/package.txt bom LIMIT 3 HEX)
    if(NOT bom STREQUAL "efbbbf")
        list(APPEND problems "package.txt: no UTF-8 byte-order mark")
    endif()
endif()

if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "${PACKAGE}:\n  ${text}")
endif()
list(JOIN files ", " found)
message(STATUS "${PACKAGE}: [${found}] as expected")
