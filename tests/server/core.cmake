q5_add_wine_test(service_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_test.cpp ${CMAKE_CURRENT_LIST_DIR}/staleserver_test.cpp
  LIBS q5dmcore)
q5_add_wine_test(registry_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_test.cpp LIBS q5dmcore)
q5_add_wine_test(infname_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/infname_test.cpp LIBS q5dmcore)
