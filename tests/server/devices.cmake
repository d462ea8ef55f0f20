# Device operations: driver installation and removal, power options.
set(q5_devices_fixture ${CMAKE_CURRENT_LIST_DIR}/devices_fixture.cpp)
foreach(part install remove power)
  q5_add_wine_test(devices_${part}_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/devices_${part}_test.cpp ${q5_devices_fixture}
    LIBS q5dmcore q5fakedevice ntdll)
  add_dependencies(devices_${part}_test q5newdev)
endforeach()
