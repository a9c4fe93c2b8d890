# The port listing of vestrel-cli --list-ports, as a library the front end links.
add_library(vestrel_list_ports ${CMAKE_CURRENT_LIST_DIR}/list_ports.cpp)
target_include_directories(vestrel_list_ports PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vestrel_list_ports PUBLIC vestrel_platform)
