# Real COM between processes: the registered servers of both bitnesses
# reached through the registered proxy/stub libraries, from a test program
# of either bitness.
add_library(q5e2esupport STATIC ${CMAKE_CURRENT_LIST_DIR}/e2e_support.cpp)
target_include_directories(q5e2esupport PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(q5e2esupport PUBLIC q5testsupport q5dm_interface ole32 uuid)
q5_add_wine_test(e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp
                 LIBS q5e2esupport q5dm_interface ole32 uuid advapi32 TIMEOUT 400)

# Driver files, COM ports and processes in servers of both bitnesses, with
# the stand-ins of each bitness.
q5_add_wine_test(operations_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/operations_e2e_test.cpp
                 LIBS q5e2esupport q5msportstest q5childtest TIMEOUT 400)
add_dependencies(operations_e2e_test q5msports)
