# Settings and dependencies of the Windows cross build (cmake/mingw-w64-x86_64.cmake).

# ctest runs the test programs under Wine, in a prefix of this build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run --prefix
    ${CMAKE_BINARY_DIR}/wine)

# Dependencies, from Debian's packages. Debian ships no mingw builds of them, so: CLI11 and
# nlohmann-json are header-only, and their headers are staged on their own (adding the build
# machine's /usr/include would put glibc's headers in front of mingw's), and GoogleTest is built
# from the source that libgtest-dev installs in /usr/src/googletest.

# vestrel_stage_headers(<folder> <header> <package> <target> <alias>): copies /usr/include/<folder>
# into the build and makes <alias> an interface target that includes it.
function(vestrel_stage_headers folder header package target alias)
  if(NOT EXISTS /usr/include/${folder}/${header})
    message(FATAL_ERROR "${folder} headers not found in /usr/include/${folder} (${package})")
  endif()
  file(COPY /usr/include/${folder} DESTINATION ${CMAKE_BINARY_DIR}/${target}-include)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/${target}-include)
  add_library(${alias} ALIAS ${target})
endfunction()
vestrel_stage_headers(CLI CLI.hpp libcli11-dev vestrel_cli11 CLI11::CLI11)
vestrel_stage_headers(nlohmann json.hpp nlohmann-json3-dev vestrel_json nlohmann_json::nlohmann_json)

if(BUILD_TESTING)
  set(VESTREL_GOOGLETEST_SOURCE /usr/src/googletest)
  if(NOT EXISTS ${VESTREL_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest source not found in ${VESTREL_GOOGLETEST_SOURCE} (libgtest-dev)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VESTREL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Its own sources are not held to this project's warning flags.
  foreach(target gtest gtest_main gmock gmock_main)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -w)
    endif()
  endforeach()
endif()
