# Fails unless PROGRAM is the file to ship: a static 32-bit console program
# that imports system DLLs alone (so that it runs on a clean Windows machine),
# under 100 KB with no symbol table, carrying its version resource and an
# asInvoker manifest.
# Run with -DOBJDUMP=... -DWINDRES=... -DPROGRAM=... -DVERSION=... -DDESCRIPTION=...
cmake_policy(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()
string(REGEX MATCH "file format pei-i386" pe32 "${headers}")
string(REGEX MATCH "Magic[ \t]+010b" magic "${headers}")
string(REGEX MATCH "Subsystem[ \t]+00000003" console "${headers}")
if(NOT pe32 OR NOT magic OR NOT console)
    message(SEND_ERROR "${PROGRAM} is not a PE32 i386 console program")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
if(NOT imports)
    message(SEND_ERROR "no imports found in ${PROGRAM}")
endif()
foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll)
    message(STATUS "imports ${dll}")
    if(NOT dll MATCHES "^(kernel32|user32|msvcrt)\\.dll$")
        message(SEND_ERROR "${PROGRAM} imports ${dll}, beyond KERNEL32, USER32 and msvcrt")
    endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -t ${PROGRAM} OUTPUT_VARIABLE symbols)
string(FIND "${symbols}" "no symbols" stripped)
if(stripped LESS 0)
    message(SEND_ERROR "${PROGRAM} has a symbol table")
endif()
file(SIZE ${PROGRAM} size)
message(STATUS "${size} bytes")
if(size GREATER_EQUAL 102400)
    message(SEND_ERROR "${PROGRAM} has ${size} bytes, not under 100 KB")
endif()

execute_process(COMMAND ${WINDRES} -i ${PROGRAM} -O rc OUTPUT_VARIABLE resources
                RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${WINDRES} could not read the resources of ${PROGRAM}")
endif()
foreach(value "FileDescription\", \"${DESCRIPTION}" "ProductName\", \"mediakey"
              "OriginalFilename\", \"mediakey.exe" "FileVersion\", \"${VERSION}"
              "ProductVersion\", \"${VERSION}")
    string(FIND "${resources}" "VALUE \"${value}\"" found)
    if(found LESS 0)
        message(SEND_ERROR "${PROGRAM}: no version string \"${value}\"")
    endif()
endforeach()
# The manifest is shown as quoted lines, its quotes doubled.
string(FIND "${resources}" "/* RT_MANIFEST */" manifestAt)
if(manifestAt LESS 0)
    message(FATAL_ERROR "${PROGRAM} has no manifest")
endif()
string(SUBSTRING "${resources}" ${manifestAt} -1 manifest)
string(FIND "${manifest}" "\nEND" manifestEnd)
string(SUBSTRING "${manifest}" 0 ${manifestEnd} manifest)
string(FIND "${manifest}" "requestedExecutionLevel level=\"\"asInvoker\"\"" asInvoker)
if(asInvoker LESS 0)
    message(SEND_ERROR "${PROGRAM}: its manifest does not ask for asInvoker")
endif()
# Windows 7, 8, 8.1, and 10 with 11.
string(REGEX MATCHALL "supportedOS Id=\"\"{[0-9a-f-]+}\"\"" systems "${manifest}")
list(LENGTH systems count)
if(NOT count EQUAL 4)
    message(SEND_ERROR "${PROGRAM}: its manifest names ${count} systems, not Windows 7 to 11")
endif()
