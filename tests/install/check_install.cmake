# Installs the build tree into a fresh prefix, then builds and runs the consumer project
# against it twice: through the CMake package and through pkg-config.  The consumers are C
# programs (the decoders, the compression C entry, the patch library with its plug-ins, the
# diff writer) built without C++ enabled, and one C++ program.
#
# With SHARED_CHECK it also builds the libraries shared (a second build of the source tree,
# libraries only), installs them into another prefix, checks that each shared library
# exports exactly the functions the public headers mark VEKKO_API and has a versioned
# SONAME, and runs the C programs against it both ways.
#
# Last, it checks that no private header is reachable, neither from the installed tree nor
# from a project that adds the source tree with add_subdirectory.
#
#   cmake -DVEKKO_BUILD_DIR=... -DVEKKO_SOURCE_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=...
#         -DVEKKO_VERSION=... -DCMAKE_C_COMPILER=... -DCMAKE_CXX_COMPILER=... [-DEXTRA_FLAGS=...]
#         [-DWITH_ENCODER=ON] [-DSHARED_CHECK=ON -DSHARED_OPTIONS=-DVEKKO_...;...] -P check_install.cmake
# Without the encoder (a decoder-only build) the programs that need it are left out.
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
find_program(PKG_CONFIG pkg-config REQUIRED)
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(c_programs decode patch)
if(WITH_ENCODER)
  list(APPEND c_programs compress diff)
endif()

# The pkg-config modules of each consumer program; naming only what the program includes
# is the check that each module brings what it needs.
set(modules_decode vekko-dec)
set(modules_patch vekko-patch-plugins)
set(modules_compress vekko-enc vekko-dec)
set(modules_diff vekko-diff vekko-patch-plugins)
set(modules_roundtrip vekko-enc vekko-dec)

# Builds and runs the consumers against the vekko installed in prefix, through the CMake
# package and through pkg-config.
function(check_prefix label prefix with_cxx)
  set(build ${WORK_DIR}/${label}-cmake)
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DEXPECTED_VERSION=${VEKKO_VERSION}
      -DWITH_ENCODER=${WITH_ENCODER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}")
  run(${CMAKE_COMMAND} --build ${build})
  foreach(program IN LISTS c_programs)
    run(${build}/${program}_c)
    message(STATUS "${label}, CMake package: ${run_output}")
  endforeach()
  if(with_cxx AND WITH_ENCODER)
    run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build}-cxx -DWITH_CXX=ON
        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DEXPECTED_VERSION=${VEKKO_VERSION}
        -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
        "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}")
    run(${CMAKE_COMMAND} --build ${build}-cxx)
    run(${build}-cxx/roundtrip)
    message(STATUS "${label}, CMake package: ${run_output}")
  endif()

  # pkg-config, as a Makefile would use it.
  file(GLOB_RECURSE pc_files ${prefix}/*/vekko.pc)
  list(GET pc_files 0 pc_file)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --modversion vekko)
  string(STRIP "${run_output}" version)
  if(NOT version STREQUAL VEKKO_VERSION)
    message(FATAL_ERROR "vekko.pc says version ${version}, expected ${VEKKO_VERSION}")
  endif()
  set(programs ${c_programs})
  if(with_cxx AND WITH_ENCODER)
    list(APPEND programs roundtrip)
  endif()
  foreach(program IN LISTS programs)
    if(program STREQUAL roundtrip)
      set(compiler ${CMAKE_CXX_COMPILER} ${CONSUMER_DIR}/roundtrip.cpp -std=c++17)
    else()
      set(compiler ${CMAKE_C_COMPILER} ${CONSUMER_DIR}/${program}.c -std=c99)
    endif()
    run(${PKG_CONFIG} --cflags --libs ${modules_${program}})
    separate_arguments(flags UNIX_COMMAND "${run_output}")
    run(${compiler} ${extra} -o ${WORK_DIR}/${label}-pc-${program} ${flags})
    run(${WORK_DIR}/${label}-pc-${program})
    message(STATUS "${label}, pkg-config: ${run_output}")
  endforeach()
endfunction()

# 1. The static libraries of this build.
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${VEKKO_BUILD_DIR} --prefix ${prefix})
check_prefix(static ${prefix} ON)
# Each installed program comes with its man page.
file(GLOB installed_programs RELATIVE ${prefix}/bin ${prefix}/bin/vk*)
foreach(program IN LISTS installed_programs)
  file(GLOB page ${prefix}/*/man/man1/${program}.1 ${prefix}/*/*/man/man1/${program}.1)
  if(NOT page)
    message(FATAL_ERROR "${program} is installed without its man page")
  endif()
endforeach()

# 2. The shared libraries, from a second build with the same options.
if(SHARED_CHECK)
  set(shared_build ${WORK_DIR}/shared-build)
  set(shared_prefix ${WORK_DIR}/shared-prefix)
  run(${CMAKE_COMMAND} -S ${VEKKO_SOURCE_DIR} -B ${shared_build} -DBUILD_SHARED_LIBS=ON -DVEKKO_TESTS=OFF
      -DCMAKE_BUILD_TYPE=Release -DVEKKO_ENCODER=${WITH_ENCODER} ${SHARED_OPTIONS}
      -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER})
  set(libraries streams dec patch patch_device patch_plugins)
  if(WITH_ENCODER)
    list(APPEND libraries enc diff)
  endif()
  list(TRANSFORM libraries REPLACE "(.+)" "vekko_\\1_shared" OUTPUT_VARIABLE targets)
  run(${CMAKE_COMMAND} --build ${shared_build} -j2 --target ${targets})
  run(${CMAKE_COMMAND} --install ${shared_build} --prefix ${shared_prefix} --component library)
  file(GLOB static_archives ${shared_prefix}/lib*/*.a)
  if(static_archives)
    message(FATAL_ERROR "a shared build installed static libraries: ${static_archives}")
  endif()

  # Every name a public header declares (comments left out), and the functions it marks
  # VEKKO_API.
  file(GLOB headers ${shared_prefix}/include/vekko/*.h)
  set(public_names "")
  set(api_functions "")
  foreach(header IN LISTS headers)
    file(READ ${header} text)
    if(header MATCHES "vekko_api\\.h$")
      continue()  # defines VEKKO_API itself
    endif()
    string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " text "${text}")
    string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" words "${text}")
    list(APPEND public_names ${words})
    string(REGEX MATCHALL "VEKKO_API[^;(]*[^A-Za-z0-9_][A-Za-z_][A-Za-z0-9_]*\\(" declarations "${text}")
    foreach(declaration IN LISTS declarations)
      string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)\\($" name "${declaration}")
      list(APPEND api_functions ${CMAKE_MATCH_1})
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES public_names)

  find_program(NM nm REQUIRED)
  find_program(OBJDUMP objdump REQUIRED)
  set(exported "")
  foreach(library IN LISTS libraries)
    set(file ${shared_prefix}/lib/libvekko_${library}.so)
    if(NOT EXISTS ${file})
      file(GLOB file ${shared_prefix}/lib*/libvekko_${library}.so)
    endif()
    run(${OBJDUMP} -p ${file})
    if(NOT run_output MATCHES "SONAME +libvekko_${library}\\.so\\.[0-9]")
      message(FATAL_ERROR "${file} has no versioned SONAME")
    endif()
    run(${NM} -D --defined-only -C ${file})
    string(REPLACE "\n" ";" lines "${run_output}")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[0-9a-f]+ [A-Za-z] ([^(]+)")
        # vkd::create_diff(...) is checked as create_diff
        string(REGEX REPLACE "^.*::" "" name "${CMAKE_MATCH_1}")
        string(STRIP "${name}" name)
        if(NOT name IN_LIST public_names)
          message(FATAL_ERROR "libvekko_${library}.so exports ${CMAKE_MATCH_1}, which no public header declares")
        endif()
        list(APPEND exported ${name})
      endif()
    endforeach()
  endforeach()
  foreach(function IN LISTS api_functions)
    if(NOT function IN_LIST exported)
      message(FATAL_ERROR "${function} is declared VEKKO_API but no shared library exports it")
    endif()
  endforeach()
  list(LENGTH exported count)
  message(STATUS "shared: ${count} exported names, all declared in the public headers")

  # The libraries find one another where a packager would put them, on the loader's path.
  get_filename_component(shared_libdir ${file} DIRECTORY)
  set(ENV{LD_LIBRARY_PATH} ${shared_libdir})
  check_prefix(shared ${shared_prefix} OFF)
  unset(ENV{LD_LIBRARY_PATH})
endif()

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
include_flags_of(${WORK_DIR}/static-cmake package_flags)
expect_private("CMake package" ${package_flags})
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR}/../subdir_consumer -B ${WORK_DIR}/subdir-build
    -DVEKKO_SOURCE_DIR=${VEKKO_SOURCE_DIR} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVEKKO_ENCODER=${WITH_ENCODER}
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER})
include_flags_of(${WORK_DIR}/subdir-build subdir_flags)
expect_private("add_subdirectory" ${subdir_flags})
