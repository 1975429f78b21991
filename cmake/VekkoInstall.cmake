# Install rules: libraries, their public headers (all in one folder, include/vekko), the
# exported CMake package `vekko` (targets vekko::<name>) and one pkg-config file per
# library (vekko-<name>.pc) plus vekko.pc for all of them.
#
# A library folder installs its library with one line, for example
#
#   vekko_install_library(vekko_patch HEADERS mirv_patch.h DESCRIPTION "applies diffs to old data")
#
# and vekko_install_package() at the end of the top-level CMakeLists.txt writes the
# package files for everything installed so far.  The version is the project's.
#
#   vekko_install_library(<target>
#       [HEADERS <file>...]      public headers, by name in include/vekko (the only folder
#                                installed headers come from)
#       [DESCRIPTION <text>]     for the pkg-config file
#       [REQUIRES <module>...]   pkg-config modules it needs beyond the vekko libraries it
#                                links (those are added by themselves)
#       [LIBS <flag>...]         link flags beyond the library itself (-lfoo, -pthread)
#       [DEPENDS <package>...]   CMake packages the exported target needs (find_dependency)
#       [PKGCONFIG_TARGETS <prefix>:<module>,<module>...]
#                                PkgConfig::<prefix> targets it links, made again for users
#                                with pkg_check_modules(<prefix> IMPORTED_TARGET <module>...)
#       [CXX_RUNTIME]            a C++ library with a C entry: a C program that links the
#                                static library gets the C++ runtime (-lstdc++) too
#       [EMBED <target>...])     vekko libraries whose private functions this one calls: the
#                                shared library compiles their sources in rather than linking
#                                their shared libraries, which do not export those
#
# The exported name drops the vekko_ prefix: vekko_dec becomes vekko::dec.  Inside this
# build the same names exist as aliases.  A target that does not exist is skipped, so
# optional libraries may be named unconditionally.
#
# Shared libraries: with BUILD_SHARED_LIBS every installed library gets a shared twin,
# <target>_shared (file name lib<target>.so, SONAME from the version), compiled from the same
# sources with hidden visibility, so that it exports only what the public headers mark
# VEKKO_API.  The twin is what installs and what vekko::<name> names; the static target stays
# as it is for the programs, tests and fuzz targets, which reach private names.

include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEKKO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/vekko)
set(VEKKO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/vekko)
set(VEKKO_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The path from the pkg-config folder back to the prefix, so that an installed copy can
# be moved (or installed with `cmake --install --prefix`) and still describe itself.
function(_vekko_pkgconfig_prefix out)
  if(IS_ABSOLUTE "${VEKKO_INSTALL_PKGCONFIGDIR}")
    set(${out} "${CMAKE_INSTALL_PREFIX}" PARENT_SCOPE)
    return()
  endif()
  set(up "\${pcfiledir}")
  string(REPLACE "/" ";" parts "${VEKKO_INSTALL_PKGCONFIGDIR}")
  foreach(part IN LISTS parts)
    if(NOT part STREQUAL "" AND NOT part STREQUAL ".")
      string(APPEND up "/..")
    endif()
  endforeach()
  set(${out} "${up}" PARENT_SCOPE)
endfunction()

# 0.x releases promise nothing across minor versions, so their SONAME carries the minor too.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(VEKKO_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
  set(VEKKO_SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

# The name a library target installs under: its shared twin in a shared build.
function(_vekko_installed_name target out)
  if(BUILD_SHARED_LIBS AND TARGET ${target}_shared)
    set(${out} ${target}_shared PARENT_SCOPE)
  else()
    set(${out} ${target} PARENT_SCOPE)
  endif()
endfunction()

# Makes <target>_shared from the static <target>: same sources, include folders, definitions
# and C standard; links the twins of the vekko libraries the static one links.  What only a
# static library hands on to its users ($<LINK_ONLY:...>) stays inside the shared one.
function(_vekko_add_shared_twin target embed cxx)
  set(twin ${target}_shared)
  get_target_property(sources ${target} SOURCES)
  foreach(embedded IN LISTS embed)
    get_target_property(dir ${embedded} SOURCE_DIR)
    get_target_property(embedded_sources ${embedded} SOURCES)
    foreach(source IN LISTS embedded_sources)
      if(NOT IS_ABSOLUTE ${source})
        set(source ${dir}/${source})
      endif()
      list(APPEND sources ${source})
    endforeach()
  endforeach()
  add_library(${twin} SHARED ${sources})
  foreach(property INCLUDE_DIRECTORIES INTERFACE_INCLUDE_DIRECTORIES COMPILE_DEFINITIONS
                   INTERFACE_COMPILE_DEFINITIONS C_STANDARD C_STANDARD_REQUIRED C_EXTENSIONS)
    get_target_property(value ${target} ${property})
    if(NOT value STREQUAL "value-NOTFOUND")
      set_property(TARGET ${twin} PROPERTY ${property} "${value}")
    endif()
  endforeach()
  set(private_links "")
  get_target_property(links ${target} LINK_LIBRARIES)
  if(NOT links)
    set(links "")
  endif()
  foreach(link IN LISTS links)
    if(NOT link IN_LIST embed)
      _vekko_installed_name(${link} link)
      list(APPEND private_links ${link})
    endif()
  endforeach()
  set(interface_links "")
  get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  if(NOT links)
    set(links "")
  endif()
  foreach(link IN LISTS links)
    if(NOT link MATCHES "^\\$<LINK_ONLY:")
      _vekko_installed_name(${link} link)
      list(APPEND interface_links ${link})
    endif()
  endforeach()
  target_link_libraries(${twin} PRIVATE ${private_links})
  set_target_properties(${twin} PROPERTIES
    INTERFACE_LINK_LIBRARIES "${interface_links}"
    OUTPUT_NAME ${target}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    SOVERSION ${VEKKO_SOVERSION})
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Every name a shared library calls must come from what it links (but the sanitizers'
    # runtimes may come with the program).
    if(NOT VEKKO_SANITIZE AND NOT VEKKO_FUZZ)
      target_link_options(${twin} PRIVATE -Wl,--no-undefined)
    endif()
    if(cxx)
      target_link_options(${twin} PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/vekko_cxx.map)
      set_property(TARGET ${twin} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/vekko_cxx.map)
    endif()
  endif()
endfunction()

function(vekko_install_library target)
  cmake_parse_arguments(ARG "CXX_RUNTIME" "DESCRIPTION" "HEADERS;REQUIRES;LIBS;DEPENDS;PKGCONFIG_TARGETS;EMBED" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  get_property(done GLOBAL PROPERTY VEKKO_INSTALLED_LIBRARIES)
  if(${target} IN_LIST done)
    return()
  endif()

  # A C program linking the static library of C++ code links with the C compiler, which
  # leaves the C++ runtime out; a shared library brings its own.
  set(private_libs "")
  if(ARG_CXX_RUNTIME)
    if(BUILD_SHARED_LIBS)
      list(APPEND private_libs -lstdc++)
    else()
      target_link_libraries(${target} INTERFACE "$<$<LINK_LANGUAGE:C>:stdc++>")
      list(APPEND ARG_LIBS -lstdc++)
    endif()
  endif()
  if(BUILD_SHARED_LIBS)
    # A shared library carries its own dependencies; pkg-config --static still lists them.
    list(APPEND private_libs ${ARG_LIBS})
    set(ARG_LIBS "")
    _vekko_add_shared_twin(${target} "${ARG_EMBED}" "${ARG_CXX_RUNTIME}")
    set(static_target ${target})
    set(target ${target}_shared)
  endif()
  set(private_requires "")

  # An export needs every library target it links to be exported too (or imported).
  get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  if(BUILD_SHARED_LIBS)
    # The shared twin's private links, for Requires.private.
    get_target_property(static_links ${static_target} INTERFACE_LINK_LIBRARIES)
    foreach(link IN LISTS static_links)
      if(link MATCHES "^\\$<LINK_ONLY:(.*)>$")
        _vekko_installed_name(${CMAKE_MATCH_1} link)
        if(link IN_LIST done)
          get_target_property(link_name ${link} EXPORT_NAME)
          string(REPLACE "_" "-" link_pc "vekko-${link_name}")
          list(APPEND private_requires ${link_pc})
        endif()
      endif()
    endforeach()
  endif()
  if(links)
    foreach(link IN LISTS links)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      if(TARGET ${link})
        get_target_property(imported ${link} IMPORTED)
        get_target_property(aliased ${link} ALIASED_TARGET)
        if(aliased)
          set(link ${aliased})
        endif()
        if(imported AND link MATCHES "^PkgConfig::(.*)$")
          set(prefix ${CMAKE_MATCH_1})
          if(NOT ARG_PKGCONFIG_TARGETS MATCHES "(^|;)${prefix}:")
            message(WARNING "${target} is not installed: it links ${link}; name its modules with "
                            "PKGCONFIG_TARGETS ${prefix}:<module>,...")
            return()
          endif()
        endif()
        if(NOT imported AND NOT link IN_LIST done)
          message(WARNING "${target} is not installed: it links ${link}, which is not installed (yet)")
          return()
        endif()
        if(link IN_LIST done)
          get_target_property(link_name ${link} EXPORT_NAME)
          string(REPLACE "_" "-" link_pc "vekko-${link_name}")
          list(APPEND ARG_REQUIRES ${link_pc})
        endif()
      endif()
    endforeach()
  endif()

  string(REGEX REPLACE "^vekko_(.*)_shared$" "vekko_\\1" name "${target}")
  string(REGEX REPLACE "^vekko_" "" name "${name}")
  string(REPLACE "_" "-" pc_name "vekko-${name}")
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name} VERSION ${PROJECT_VERSION})
  add_library(vekko::${name} ALIAS ${target})

  # Include folders given as source paths hold for this build only; installed users
  # find every public header in include/vekko.
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(dirs)
    set(wrapped "")
    foreach(dir IN LISTS dirs)
      if(dir MATCHES "^\\$<")
        list(APPEND wrapped "${dir}")
      else()
        list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
      endif()
    endforeach()
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
  endif()
  target_include_directories(${target} INTERFACE
    $<INSTALL_INTERFACE:${VEKKO_INSTALL_INCLUDEDIR}>)

  install(TARGETS ${target} EXPORT vekkoTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
  set(header_paths "")
  foreach(header IN LISTS ARG_HEADERS)
    set(found "")
    foreach(dir IN LISTS VEKKO_PUBLIC_INCLUDE_DIR)
      if(NOT found AND EXISTS ${dir}/${header})
        set(found ${dir}/${header})
      endif()
    endforeach()
    if(NOT found)
      message(FATAL_ERROR "${target}: public header ${header} is not in ${VEKKO_PUBLIC_INCLUDE_DIR}")
    endif()
    list(APPEND header_paths ${found})
  endforeach()
  if(header_paths)
    install(FILES ${header_paths} DESTINATION ${VEKKO_INSTALL_INCLUDEDIR} COMPONENT library)
  endif()

  _vekko_pkgconfig_prefix(pc_prefix)
  if(ARG_REQUIRES)
    list(REMOVE_DUPLICATES ARG_REQUIRES)
  endif()
  if(BUILD_SHARED_LIBS)
    # The other packages' libraries are the shared library's business; the vekko ones its
    # headers include stay required.
    foreach(module IN LISTS ARG_REQUIRES)
      if(NOT module MATCHES "^vekko-")
        list(APPEND private_requires ${module})
      endif()
    endforeach()
    list(FILTER ARG_REQUIRES INCLUDE REGEX "^vekko-")
    if(ARG_REQUIRES)
      list(REMOVE_ITEM private_requires ${ARG_REQUIRES})
    endif()
    list(REMOVE_DUPLICATES private_requires)
  endif()
  string(REPLACE ";" " " pc_requires "${ARG_REQUIRES}")
  string(REPLACE ";" " " pc_requires_private "${private_requires}")
  string(REPLACE ";" " " pc_libs "${ARG_LIBS}")
  string(REPLACE ";" " " pc_libs_private "${private_libs}")
  if(NOT ARG_DESCRIPTION)
    set(ARG_DESCRIPTION "vekko ${name} library")
  endif()
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  # Definitions that change the public records (MIRV_PATCH_SMALL) hold for every user.
  set(pc_cflags "-I\${includedir}")
  get_target_property(definitions ${target} INTERFACE_COMPILE_DEFINITIONS)
  foreach(definition IN LISTS definitions)
    if(definition AND NOT definition MATCHES "\\$<")
      string(APPEND pc_cflags " -D${definition}")
    endif()
  endforeach()
  set(pc_file ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc)
  file(WRITE ${pc_file}
    "prefix=${pc_prefix}\n"
    "libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}\n"
    "includedir=\${prefix}/${VEKKO_INSTALL_INCLUDEDIR}\n"
    "\n"
    "Name: ${pc_name}\n"
    "Description: ${ARG_DESCRIPTION}\n"
    "Version: ${PROJECT_VERSION}\n"
    "Requires: ${pc_requires}\n"
    "Requires.private: ${pc_requires_private}\n"
    "Libs: -L\${libdir} -l${output_name} ${pc_libs}\n"
    "Libs.private: ${pc_libs_private}\n"
    "Cflags: ${pc_cflags}\n")
  install(FILES ${pc_file} DESTINATION ${VEKKO_INSTALL_PKGCONFIGDIR} COMPONENT library)

  set_property(GLOBAL APPEND PROPERTY VEKKO_INSTALLED_LIBRARIES ${target})
  set_property(GLOBAL APPEND PROPERTY VEKKO_INSTALLED_PKGCONFIG ${pc_name})
  set_property(GLOBAL APPEND PROPERTY VEKKO_PACKAGE_DEPENDENCIES ${ARG_DEPENDS})
  if(NOT BUILD_SHARED_LIBS)
    set_property(GLOBAL APPEND PROPERTY VEKKO_PACKAGE_PKGCONFIG_TARGETS ${ARG_PKGCONFIG_TARGETS})
  endif()
endfunction()

# Programs go to bin and their man pages (man/PROGRAM.1) to share/man/man1; a missing program
# is skipped.  They install as the component "programs", everything else as "library"
# (cmake --install --component library: headers, libraries and package files only).
function(vekko_install_programs)
  foreach(program IN LISTS ARGN)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
      install(FILES ${PROJECT_SOURCE_DIR}/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
              COMPONENT programs)
    endif()
  endforeach()
endfunction()

# The package files for every library installed so far: the CMake package (config,
# version, exported targets) and vekko.pc, which requires all vekko-*.pc files.
function(vekko_install_package)
  get_property(pc_names GLOBAL PROPERTY VEKKO_INSTALLED_PKGCONFIG)
  if(NOT pc_names)
    return()
  endif()
  get_property(dependencies GLOBAL PROPERTY VEKKO_PACKAGE_DEPENDENCIES)
  if(dependencies)
    list(REMOVE_DUPLICATES dependencies)
  endif()
  set(VEKKO_PACKAGE_DEPENDENCIES "${dependencies}")
  get_property(pkgconfig_targets GLOBAL PROPERTY VEKKO_PACKAGE_PKGCONFIG_TARGETS)
  if(pkgconfig_targets)
    list(REMOVE_DUPLICATES pkgconfig_targets)
  endif()
  set(VEKKO_PACKAGE_PKGCONFIG_TARGETS "${pkgconfig_targets}")

  install(EXPORT vekkoTargets NAMESPACE vekko:: FILE vekkoTargets.cmake DESTINATION ${VEKKO_INSTALL_CMAKEDIR} COMPONENT library)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vekkoConfig.cmake.in
    ${PROJECT_BINARY_DIR}/cmake/vekkoConfig.cmake
    INSTALL_DESTINATION ${VEKKO_INSTALL_CMAKEDIR})
  # 0.x releases promise nothing across minor versions.
  if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(compatibility SameMinorVersion)
  else()
    set(compatibility SameMajorVersion)
  endif()
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/vekkoConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY ${compatibility})
  install(FILES ${PROJECT_BINARY_DIR}/cmake/vekkoConfig.cmake ${PROJECT_BINARY_DIR}/cmake/vekkoConfigVersion.cmake
    DESTINATION ${VEKKO_INSTALL_CMAKEDIR} COMPONENT library)

  _vekko_pkgconfig_prefix(pc_prefix)
  string(REPLACE ";" " " requires "${pc_names}")
  file(WRITE ${PROJECT_BINARY_DIR}/pkgconfig/vekko.pc
    "prefix=${pc_prefix}\n"
    "\n"
    "Name: vekko\n"
    "Description: vekko codec: encoder, decoders and the libraries beside them\n"
    "Version: ${PROJECT_VERSION}\n"
    "Requires: ${requires}\n")
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/vekko.pc DESTINATION ${VEKKO_INSTALL_PKGCONFIGDIR} COMPONENT library)
endfunction()
