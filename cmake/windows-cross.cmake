# Settings and dependencies of the Windows cross build (cmake/mingw-w64-x86_64.cmake).

# ctest runs the test programs under Wine, in a prefix of this build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run --prefix
    ${CMAKE_BINARY_DIR}/wine)

# Dependencies, from Debian's packages. Debian ships no mingw builds
# of them, so: CLI11 and nlohmann-json are header-only and its headers are staged on their own (adding the build
# machine's /usr/include would put glibc's headers in front of mingw's), and GoogleTest is built
# from the source that libgtest-dev installs in /usr/src/googletest.
set(VESTREL_CLI11_HEADERS /usr/include/CLI)
if(NOT EXISTS ${VESTREL_CLI11_HEADERS}/CLI.hpp)
  message(FATAL_ERROR "CLI11 headers not found in ${VESTREL_CLI11_HEADERS} (libcli11-dev)")
endif()
file(COPY ${VESTREL_CLI11_HEADERS} DESTINATION ${CMAKE_BINARY_DIR}/cli11-include)
add_library(vestrel_cli11 INTERFACE)
target_include_directories(vestrel_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11-include)
add_library(CLI11::CLI11 ALIAS vestrel_cli11)

# nlohmann-json, header-only too, staged the same way.
set(VESTREL_JSON_HEADERS /usr/include/nlohmann)
if(NOT EXISTS ${VESTREL_JSON_HEADERS}/json.hpp)
  message(FATAL_ERROR "nlohmann-json headers not found in ${VESTREL_JSON_HEADERS} (nlohmann-json3-dev)")
endif()
file(COPY ${VESTREL_JSON_HEADERS} DESTINATION ${CMAKE_BINARY_DIR}/json-include)
add_library(vestrel_json INTERFACE)
target_include_directories(vestrel_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/json-include)
add_library(nlohmann_json::nlohmann_json ALIAS vestrel_json)

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
