# What `cmake --install` puts where (Linux), by component:
#   runtime      libcamac.so.1, libcamac758.so.1 and libkt40sim.so.1 (the
#                virtual adapter and the stand-in service, which libcamac
#                drives when no card is there)
#   development  camac.h, camac758.h, the namelinks, the CMake package
#                (find_package(camac CONFIG): camac::camac, camac::camac758)
#                and camac.pc, camac758.pc
#   tools        kt40 (and tervan, where the panel is built)
#   python       the kt40 package, where Debian's python3 looks
#   tango        CamacDS and its class file (tango/CMakeLists.txt)
if(WIN32)
  return()  # the Windows layout is windows/CMakeLists.txt's
endif()
include(CMakePackageConfigHelpers)

set(camac_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/camac")
set_target_properties(kt40sim PROPERTIES VERSION 1.0 SOVERSION 1)
install(TARGETS camac camac758 kt40sim EXPORT camacTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES camac/include/camac.h camac758/include/camac758.h
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
install(EXPORT camacTargets NAMESPACE camac:: DESTINATION "${camac_cmake_dir}" COMPONENT development)
configure_package_config_file(cmake/camacConfig.cmake.in "${CMAKE_BINARY_DIR}/camacConfig.cmake"
  INSTALL_DESTINATION "${camac_cmake_dir}")
write_basic_package_version_file("${CMAKE_BINARY_DIR}/camacConfigVersion.cmake" COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/camacConfig.cmake" "${CMAKE_BINARY_DIR}/camacConfigVersion.cmake"
  DESTINATION "${camac_cmake_dir}" COMPONENT development)
# Relocatable: the prefix is found from where the file is.
file(RELATIVE_PATH pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
foreach(pc camac camac758)
  configure_file(cmake/${pc}.pc.in "${CMAKE_BINARY_DIR}/${pc}.pc" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/${pc}.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)
endforeach()

install(TARGETS kt40 RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
if(TARGET tervan)
  install(TARGETS tervan RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
endif()

install(DIRECTORY python/kt40 DESTINATION "${CMAKE_INSTALL_LIBDIR}/python3/dist-packages"
  COMPONENT python PATTERN "__pycache__" EXCLUDE)

# The installed layout at work: a user's program built against it with
# find_package and with pkg-config, the installed kt40 and Python package run.
if(BUILD_TESTING AND KT40_SANITIZE STREQUAL "")
  add_test(NAME install_check COMMAND ${CMAKE_SOURCE_DIR}/tests/install/check.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(install_check PROPERTIES TIMEOUT 300)
endif()
