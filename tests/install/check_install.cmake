# Installs the build tree into a fresh prefix, then builds and runs the consumer project
# against it twice: through the CMake package and through pkg-config.
#
# Last, it checks that no private header is reachable, neither from the installed tree nor
# from a project that adds the source tree with add_subdirectory.
#
#   cmake -DVEKKO_BUILD_DIR=... -DVEKKO_SOURCE_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=...
#         -DVEKKO_VERSION=... -DCMAKE_C_COMPILER=... -DCMAKE_CXX_COMPILER=... [-DEXTRA_FLAGS=...]
#         [-DWITH_ENCODER=ON] -P check_install.cmake
# Without the encoder (a decoder-only build) only the C decoding program is built.
cmake_minimum_required(VERSION 3.16)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${shown}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${VEKKO_BUILD_DIR} --prefix ${prefix})

# 1. CMake: find_package(vekko CONFIG) with the namespaced targets.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DEXPECTED_VERSION=${VEKKO_VERSION}
    -DWITH_ENCODER=${WITH_ENCODER}
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
    "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
if(WITH_ENCODER)
  run(${WORK_DIR}/cmake-build/roundtrip)
  message(STATUS "CMake package: ${run_output}")
endif()
run(${WORK_DIR}/cmake-build/decode_c)
message(STATUS "CMake package: ${run_output}")

# 2. pkg-config, as a Makefile would use it.
find_program(PKG_CONFIG pkg-config REQUIRED)
file(GLOB_RECURSE pc_files ${prefix}/*/vekko.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --modversion vekko)
string(STRIP "${run_output}" version)
if(NOT version STREQUAL VEKKO_VERSION)
  message(FATAL_ERROR "vekko.pc says version ${version}, expected ${VEKKO_VERSION}")
endif()
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(programs decode)
if(WITH_ENCODER)
  list(APPEND programs roundtrip)
endif()
if(EXISTS ${pc_dir}/vekko-patch-plugins.pc)
  list(APPEND programs patch_link)
endif()
foreach(program IN LISTS programs)
  if(program STREQUAL roundtrip)
    set(modules vekko-enc vekko-dec)
    set(compiler ${CMAKE_CXX_COMPILER})
    set(source ${CONSUMER_DIR}/roundtrip.cpp -std=c++17)
  elseif(program STREQUAL patch_link)
    # linking the patch library and its plug-ins (and what they need) is the check
    set(modules vekko-patch-plugins vekko-dec)
    set(compiler ${CMAKE_C_COMPILER})
    set(source ${CONSUMER_DIR}/decode.c -std=c99)
  else()
    set(modules vekko-dec)
    set(compiler ${CMAKE_C_COMPILER})
    set(source ${CONSUMER_DIR}/decode.c -std=c99)
  endif()
  run(${PKG_CONFIG} --cflags --libs ${modules})
  separate_arguments(flags UNIX_COMMAND "${run_output}")
  run(${compiler} ${extra} ${source} -o ${WORK_DIR}/pc-${program} ${flags})
  run(${WORK_DIR}/pc-${program})
  message(STATUS "pkg-config: ${run_output}")
endforeach()

# 3. Private headers stay private.  Every header outside include/vekko belongs to one
# library's own folder; a consumer that includes one must fail to compile, whichever way it
# found vekko.  A public header must still be found the same way (else the probe proves
# nothing).
file(GLOB_RECURSE private_headers RELATIVE ${VEKKO_SOURCE_DIR}
  ${VEKKO_SOURCE_DIR}/streams/*.h ${VEKKO_SOURCE_DIR}/decoder/*.h ${VEKKO_SOURCE_DIR}/encoder/*.h
  ${VEKKO_SOURCE_DIR}/patch/*.h ${VEKKO_SOURCE_DIR}/diff/*.h ${VEKKO_SOURCE_DIR}/programs/*.h)
if(NOT private_headers)
  message(FATAL_ERROR "no private headers found below ${VEKKO_SOURCE_DIR}")
endif()

# The include flags of the C compile commands a CMake build wrote.
function(include_flags_of build_dir out)
  file(READ ${build_dir}/compile_commands.json json)
  string(JSON count LENGTH "${json}")
  set(flags "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON file GET "${json}" ${i} file)
    if(file MATCHES "decode\\.c$")
      string(JSON command GET "${json}" ${i} command)
      separate_arguments(words UNIX_COMMAND "${command}")
      set(take_next OFF)
      foreach(word IN LISTS words)
        if(take_next)
          list(APPEND flags -I${word})
          set(take_next OFF)
        elseif(word MATCHES "^-I.")
          list(APPEND flags ${word})
        elseif(word STREQUAL "-isystem" OR word STREQUAL "-I")
          set(take_next ON)
        endif()
      endforeach()
      break()
    endif()
  endforeach()
  if(NOT flags)
    message(FATAL_ERROR "no include folders in ${build_dir}/compile_commands.json")
  endif()
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

function(expect_private how)
  set(probe ${WORK_DIR}/probe.c)
  file(WRITE ${probe} "#include \"vko_dec.h\"\n")
  execute_process(COMMAND ${CMAKE_C_COMPILER} ${ARGN} -E ${probe} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${how}: the public header vko_dec.h is not found with: ${ARGN}")
  endif()
  foreach(header IN LISTS private_headers)
    get_filename_component(name ${header} NAME)
    file(WRITE ${probe} "#include \"${name}\"\n")
    execute_process(COMMAND ${CMAKE_C_COMPILER} ${ARGN} -E ${probe} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      message(FATAL_ERROR "${how}: the private header ${header} is reachable with: ${ARGN}")
    endif()
  endforeach()
  list(LENGTH private_headers n)
  message(STATUS "${how}: ${n} private headers unreachable")
endfunction()

run(${PKG_CONFIG} --cflags vekko)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
expect_private("pkg-config" ${pc_flags})
include_flags_of(${WORK_DIR}/cmake-build package_flags)
expect_private("CMake package" ${package_flags})
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR}/../subdir_consumer -B ${WORK_DIR}/subdir-build
    -DVEKKO_SOURCE_DIR=${VEKKO_SOURCE_DIR} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVEKKO_ENCODER=${WITH_ENCODER}
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER})
include_flags_of(${WORK_DIR}/subdir-build subdir_flags)
expect_private("add_subdirectory" ${subdir_flags})
