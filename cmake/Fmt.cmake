# {fmt}, header-only, as the target kt40::fmt: the texts of kt40, camactools,
# the panel's core and CamacDS are formatted with it, and no program gains a
# run-time library by it. Included by each CMakeLists that links it.
include_guard(GLOBAL)

if(WIN32)
  # A cross build takes Debian's headers (libfmt-dev), copied into the build
  # tree so that the host's /usr/include stays off the include path.
  find_path(KT40_FMT_DIR fmt/format.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KT40_FMT_DIR)
    message(FATAL_ERROR "fmt/format.h not found in /usr/include: install libfmt-dev")
  endif()
  set(kt40_fmt_include ${CMAKE_BINARY_DIR}/fmt-include)
  file(COPY ${KT40_FMT_DIR}/fmt DESTINATION ${kt40_fmt_include})
  add_library(kt40_fmt INTERFACE)
  target_compile_definitions(kt40_fmt INTERFACE FMT_HEADER_ONLY=1)
  target_include_directories(kt40_fmt SYSTEM INTERFACE ${kt40_fmt_include})
else()
  # GLOBAL: the imported target is seen from every folder that links kt40::fmt.
  find_package(fmt REQUIRED GLOBAL)
  add_library(kt40_fmt INTERFACE)
  target_link_libraries(kt40_fmt INTERFACE fmt::fmt-header-only)
endif()
add_library(kt40::fmt ALIAS kt40_fmt)
