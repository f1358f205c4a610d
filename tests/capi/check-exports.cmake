# cmake -DNM=nm -DLIBRARY=lib.so -DHEADER=api.h -DPATTERN=regex -P check-exports.cmake
# The library's dynamic symbol table (nm -D) defines exactly the functions that the header
# declares: those that PATTERN's first group captures from it.
file(READ ${HEADER} header)
string(REGEX MATCHALL "${PATTERN}" declarations "${header}")
set(expected "")
foreach(d IN LISTS declarations)
    string(REGEX MATCH "${PATTERN}" _ "${d}")
    list(APPEND expected ${CMAKE_MATCH_1})
endforeach()
list(REMOVE_DUPLICATES expected)
list(SORT expected)
if(NOT expected)
    message(FATAL_ERROR "no declaration in ${HEADER} matches ${PATTERN}")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE table RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} -D ${LIBRARY} failed: ${err}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(exported "")
foreach(line IN LISTS lines)
    # "address type name[@@version]"; type A marks a version name, no symbol.
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^@ ]+)" AND NOT CMAKE_MATCH_1 STREQUAL "A")
        list(APPEND exported ${CMAKE_MATCH_2})
    endif()
endforeach()
list(SORT exported)

if(NOT exported STREQUAL expected)
    set(extra ${exported})
    list(REMOVE_ITEM extra ${expected})
    set(missing ${expected})
    list(REMOVE_ITEM missing ${exported})
    message(FATAL_ERROR "${LIBRARY} exports [${exported}]\n"
                        "expected exactly the functions of ${HEADER}: [${expected}]\n"
                        "extra: [${extra}]  missing: [${missing}]")
endif()
list(LENGTH exported n)
message(STATUS "${LIBRARY}: exactly the ${n} functions of ${HEADER}")
