# Script run by ctest: install, then build the consumer twice against the
# installed files, once with the CMake package and once with pkg-config, and
# run both.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}")
  endif()
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

# pkg-config: the .pc file is found under the prefix only, and must name the
# installed headers and library wherever the prefix lies.
file(GLOB_RECURSE pc_files ${prefix}/qmcore.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one qmcore.pc under ${prefix}, found [${pc_files}]")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
find_program(PKG_CONFIG pkg-config REQUIRED)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs qmcore
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
execute_process(COMMAND ${PKG_CONFIG} --variable=libdir qmcore
  OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT EXISTS ${libdir}/libqmcore.so)
  message(FATAL_ERROR "pkg-config gave [${flags}], libdir [${libdir}]")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
find_program(CXX NAMES c++ g++ REQUIRED)
run(${CXX} -std=c++20 -Wall -Wextra -Werror ${SOURCE_DIR}/main.cpp ${SOURCE_DIR}/derived.cpp -o ${WORK_DIR}/consumer-pc ${flags})
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/consumer-pc)
