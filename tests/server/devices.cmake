# Device operations: driver installation and removal, power options.
set(q5_devices_fixture ${CMAKE_CURRENT_LIST_DIR}/devices_fixture.cpp)
foreach(part install remove power)
  q5_add_wine_test(devices_${part}_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/devices_${part}_test.cpp ${q5_devices_fixture}
    LIBS q5dmcore q5fakedevice ntdll)
  add_dependencies(devices_${part}_test q5newdev)
endforeach()

# The same operations through the registered server and proxy/stub library.
q5_add_wine_test(devices_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/devices_e2e_test.cpp ${q5_devices_fixture}
  LIBS q5dmcore q5fakedevice q5e2esupport q5dm_interface ntdll TIMEOUT 400)
add_dependencies(devices_e2e_test q5newdev)
