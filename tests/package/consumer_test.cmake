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
run(${CXX} -Wall -Wextra -Werror ${SOURCE_DIR}/main.cpp ${SOURCE_DIR}/derived.cpp ${SOURCE_DIR}/fault.cpp
    ${SOURCE_DIR}/system.cpp -o ${WORK_DIR}/consumer-pc ${flags})
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/consumer-pc)

# The README's own snippets, verbatim: each fenced block that follows a line
# "<!-- tested: NAME -->" is used as it stands, so the README cannot drift
# from what works. The CMake one becomes the body of a project around
# readme/app.cpp; the shell one is run in a folder holding app.cpp.
file(READ ${SOURCE_DIR}/../../../README.md readme)
function(readme_block name out)
  string(FIND "${readme}" "<!-- tested: ${name} -->" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md has no block marked tested: ${name}")
  endif()
  string(SUBSTRING "${readme}" ${at} -1 rest)
  string(REGEX MATCH "```[a-z]*\n([^`]*)```" block "${rest}")
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
readme_block(cmake cmake_snippet)
readme_block(cmake-version version_snippet)
readme_block(pkg-config shell_snippet)
set(app_dir ${WORK_DIR}/readme)
file(MAKE_DIRECTORY ${app_dir})
file(COPY ${SOURCE_DIR}/../readme/app.cpp DESTINATION ${app_dir})
# Once with the package alone (nothing else may bring the language standard
# or the exception flags), once with the version resource too.
foreach(variant plain version)
  set(body "${cmake_snippet}")
  if(variant STREQUAL "version")
    string(APPEND body "${version_snippet}")
  endif()
  set(dir ${app_dir}/${variant})
  file(WRITE ${dir}/CMakeLists.txt
       "cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES CXX)\n"
       "add_executable(app ${app_dir}/app.cpp)\n${body}")
  run(${CMAKE_COMMAND} -S ${dir} -B ${dir}/build -G Ninja -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${dir}/build)
  run(${CMAKE_COMMAND} -E env KRCORE_REGISTRY_ROOT=${WORK_DIR}/registry ${dir}/build/app)
endforeach()
execute_process(COMMAND sh -ec "${shell_snippet}" WORKING_DIRECTORY ${app_dir} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the README's pkg-config line failed (${rc}):\n${shell_snippet}")
endif()
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} KRCORE_REGISTRY_ROOT=${WORK_DIR}/registry
    ${app_dir}/app)

# The first agent of examples/, as the README's quick start shows it (the
# README holds its source verbatim): built with its own CMake project and
# with pkg-config, each run for a second.
set(example ${SOURCE_DIR}/../../../examples/first_agent)
file(READ ${example}/main.cpp example_source)
string(FIND "${readme}" "${example_source}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the README's quick start is not examples/first_agent/main.cpp as it stands")
endif()
run(${CMAKE_COMMAND} -S ${example} -B ${WORK_DIR}/first_agent -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/first_agent)
run(${CMAKE_COMMAND} -E env KRCORE_REGISTRY_ROOT=${WORK_DIR}/registry
    ${WORK_DIR}/first_agent/first_agent 1)
run(${CXX} -Wall -Wextra -Werror ${example}/main.cpp -o ${WORK_DIR}/first_agent-pc ${flags})
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} KRCORE_REGISTRY_ROOT=${WORK_DIR}/registry
    ${WORK_DIR}/first_agent-pc 1)
