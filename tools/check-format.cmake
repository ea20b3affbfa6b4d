# Fails when a C++ source differs from what clang-format makes of it.
file(GLOB_RECURSE sources ${ROOT}/src/*.cpp ${ROOT}/src/*.h ${ROOT}/sim/*.cpp ${ROOT}/sim/*.h
     ${ROOT}/cli/*.cpp ${ROOT}/cli/*.h
     ${ROOT}/tests/*.cpp ${ROOT}/tests/*.h ${ROOT}/bench/*.cpp ${ROOT}/bench/*.h
     ${ROOT}/fuzz/*.cpp ${ROOT}/fuzz/*.h)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${sources} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "clang-format: some sources are not formatted (run tools/format)")
endif()
