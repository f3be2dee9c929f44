# Writes the finder's manual page with the program's own listing of the demo file as its example,
# so that the example stays true as the finder changes. Run by cmake -P with IN, OUT, FINDER, DEMO,
# PROJECT_VERSION and TESSVANE_MAN_DATE.
execute_process(COMMAND ${FINDER} --tsv ${DEMO} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${FINDER} --tsv ${DEMO} failed: ${status}")
endif()
# Tabs as spaces, in columns of eight, since troff would set tabs at its own stops.
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(DEMO_FINDS "")
foreach(line IN LISTS lines)
    string(REPLACE "\t" ";" cells "${line}")
    set(row "")
    foreach(cell IN LISTS cells)
        string(LENGTH "${cell}" length)
        math(EXPR pad "8 - ${length} % 8")
        string(REPEAT " " ${pad} spaces)
        string(APPEND row "${cell}${spaces}")
    endforeach()
    string(STRIP "${row}" row)
    string(APPEND DEMO_FINDS "${row}\n")
endforeach()
configure_file(${IN} ${OUT} @ONLY)
