# Installs BUILD_DIR into a scratch prefix, builds the consumer project in
# SOURCE_DIR against it and checks what the consumer prints.
cmake_policy(VERSION 3.25)
set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(failed)
        message(FATAL_ERROR "${ARGN}\n${out}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component development)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} ${CONSUMER_ARGS})
run(${CMAKE_COMMAND} --build ${build})
run(${build}/consumer)
if(NOT out STREQUAL "PLAYPAUSK RGHTDOWNG 00000000A S\n")
    message(FATAL_ERROR "consumer printed '${out}'")
endif()
message(STATUS "consumer printed: ${out}")
