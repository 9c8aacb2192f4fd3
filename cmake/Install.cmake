# What `cmake --install` puts where (Linux), by component:
#   runtime      libcamac.so.1, libcamac758.so.1, libkt40sim.so.1 (the
#                virtual adapter and the stand-in service, which libcamac
#                drives when no card is there) and libcamactools.so.1 (the
#                rules and script files that kt40 and the Python package share)
#   development  camac.h, camac758.h, the namelinks, the CMake package
#                (find_package(camac CONFIG): camac::camac, camac::camac758)
#                and camac.pc, camac758.pc
#   tools        kt40 (and tervan with its help in share/kt40, where the
#                panel is built)
#   python       the kt40 package, where Debian's python3 looks
#   tango        CamacDS and its class file (tango/CMakeLists.txt)
# On Windows (windows/CMakeLists.txt includes this file) the same components
# make one folder, the distribution's: the DLLs and programs at its top, where
# Windows looks for a program's DLLs, and for a lab's own program the headers
# in include/, the import libraries in lib/ and the same CMake package in
# lib/cmake/camac. The zips and the installer packages are made of it
# (windows/CMakeLists.txt, windows/panel/CMakeLists.txt).
include(CMakePackageConfigHelpers)
set(camac_headers camac/include/camac.h camac758/include/camac758.h camactools/include/camactools.h)
list(TRANSFORM camac_headers PREPEND "${CMAKE_CURRENT_LIST_DIR}/../")
if(WIN32)
  set(camac_cmake_dir lib/cmake/camac)
  install(TARGETS camac camac758 EXPORT camacTargets
    RUNTIME DESTINATION . COMPONENT runtime
    ARCHIVE DESTINATION lib COMPONENT development)
  install(TARGETS camactools RUNTIME DESTINATION . COMPONENT runtime ARCHIVE DESTINATION lib COMPONENT development)
  install(FILES ${camac_headers} DESTINATION include COMPONENT development)
else()
  set(camac_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/camac")
  set_target_properties(kt40sim PROPERTIES VERSION 1.0 SOVERSION 1)
  install(TARGETS camac camac758 kt40sim EXPORT camacTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development)
  install(TARGETS camactools
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development)
  install(FILES ${camac_headers} DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
endif()
install(EXPORT camacTargets NAMESPACE camac:: DESTINATION "${camac_cmake_dir}" COMPONENT development)
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/camacConfig.cmake.in" "${CMAKE_BINARY_DIR}/camacConfig.cmake"
  INSTALL_DESTINATION "${camac_cmake_dir}")
write_basic_package_version_file("${CMAKE_BINARY_DIR}/camacConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/camacConfig.cmake" "${CMAKE_BINARY_DIR}/camacConfigVersion.cmake"
  DESTINATION "${camac_cmake_dir}" COMPONENT development)
if(WIN32)
  install(TARGETS kt40 RUNTIME DESTINATION . COMPONENT tools)
  return()
endif()

# Relocatable: the prefix is found from where the file is.
file(RELATIVE_PATH pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
foreach(pc camac camac758)
  configure_file(cmake/${pc}.pc.in "${CMAKE_BINARY_DIR}/${pc}.pc" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/${pc}.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)
endforeach()

install(TARGETS kt40 RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
if(TARGET tervan)
  install(TARGETS tervan RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
  # The panel's help: in the build beside the program, installed in
  # share/kt40, where the panel looks next.
  if(TARGET tervan_help_pages)
    get_target_property(pages tervan_help_pages KT40_HELP_FILES)
    install(FILES ${pages} DESTINATION "${CMAKE_INSTALL_DATADIR}/kt40/help" COMPONENT tools)
  endif()
  if(TARGET tervan_help)
    get_target_property(chm tervan_help KT40_HELP_FILES)
    install(FILES ${chm} DESTINATION "${CMAKE_INSTALL_DATADIR}/kt40" COMPONENT tools)
  endif()
endif()

# Manual pages, made by help2man of the programs' own --help and --version.
find_program(HELP2MAN help2man REQUIRED)
set(man_dir "${CMAKE_BINARY_DIR}/man")
# help2man fills the indented lines of a block into one paragraph; kt40's
# lines of usage (one a command) each end with a break instead.
function(kt40_man_page target name summary component)
  set(page "${man_dir}/${name}.1")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${man_dir}"
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary} --output=${page}
            $<TARGET_FILE:${target}>
    COMMAND sed -i "/^kt40 [a-z]/a .br" "${page}"
    COMMAND gzip -9nf "${page}"
    DEPENDS ${target} VERBATIM COMMENT "Manual page ${name}(1)")
  add_custom_target(man_${name} ALL DEPENDS "${page}.gz")
  install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${component})
endfunction()
kt40_man_page(kt40 kt40 "CAMAC crates through the KT40 adapter, from the shell" tools)
# The panel has no --help: its page is written by hand.
if(TARGET tervan)
  add_custom_command(OUTPUT "${man_dir}/tervan.1.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${man_dir}"
    COMMAND sh -c "gzip -9nc '${PROJECT_SOURCE_DIR}/tervan/tervan.1' > '${man_dir}/tervan.1.gz'"
    DEPENDS "${PROJECT_SOURCE_DIR}/tervan/tervan.1" VERBATIM COMMENT "Manual page tervan(1)")
  add_custom_target(man_tervan ALL DEPENDS "${man_dir}/tervan.1.gz")
  install(FILES "${man_dir}/tervan.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
endif()
if(TARGET CamacDS)
  kt40_man_page(CamacDS CamacDS "TANGO device server of CAMAC crates behind the KT40 adapter" tango)
endif()

install(DIRECTORY python/kt40 DESTINATION "${CMAKE_INSTALL_LIBDIR}/python3/dist-packages"
  COMPONENT python PATTERN "__pycache__" EXCLUDE)

# The installed layout at work: a user's program built against it with
# find_package and with pkg-config, the installed kt40 and Python package run.
if(BUILD_TESTING AND KT40_SANITIZE STREQUAL "")
  add_test(NAME install_check COMMAND ${CMAKE_SOURCE_DIR}/tests/install/check.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(install_check PROPERTIES TIMEOUT 300)
endif()

# Debian packages of the same install rules (cpack -G DEB in the build
# folder, into packages/): one per component, installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kt40)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KT40 CAMAC developers <kt40@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CAMAC crates through the KT40 adapter")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # the libraries' own dependencies, from dpkg-shlibdeps
set(CPACK_STRIP_FILES ON)  # the packages' programs and libraries stripped (the build keeps its symbols)
# libcamac1 tells other packages' dpkg-shlibdeps what its libraries need
# (a shlibs file), and runs ldconfig by trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE "${CMAKE_BINARY_DIR}/debian-runtime/triggers" "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/debian-runtime/triggers")
# (our own libraries, from the build folder: their packages are named below)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/camac;${CMAKE_BINARY_DIR}/camac758;${CMAKE_BINARY_DIR}/sim;${CMAKE_BINARY_DIR}/camactools")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcamac1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "ESONE CAMAC routines for the KT40 adapter\n libcamac (the twelve ESONE routines) and libcamac758 (the rest of IEEE 758),\n with the virtual adapter they drive when no card is present, and\n libcamactools (the rules and script files kt40 and the Python package share).")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libcamac-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libcamac1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "ESONE CAMAC routines for the KT40 adapter: development files\n camac.h, camac758.h, the CMake package (find_package(camac)) and\n pkg-config files.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kt40-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Command line and front panel for CAMAC crates behind the KT40 adapter\n kt40 (actions, scans, LAM watches, block transfers, script files) and the\n front panel tervan.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kt40)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, libcamac1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "CAMAC crates behind the KT40 adapter, from Python 3\n The kt40 package: crates, CNAF, blocks, LAM callbacks and script files,\n over libcamac through ctypes.")
set(CPACK_DEBIAN_TANGO_PACKAGE_NAME camacds)
set(CPACK_COMPONENT_TANGO_DESCRIPTION "TANGO device server for CAMAC crates behind the KT40 adapter\n CamacDS, one device per crate, with LAMs as events; installed in\n /usr/lib/tango for the Starter.")
# Packages of the project's own libraries depend on the exact version.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libcamac1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TANGO_PACKAGE_DEPENDS "libcamac1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENTS_ALL runtime development tools python tango)
include(CPack)
