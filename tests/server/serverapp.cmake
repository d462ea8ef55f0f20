q5_add_wine_test(serverapp_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/serverapp_test.cpp LIBS q5dmcore)
q5_add_wine_test(serverapp_files_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/serverapp_files_test.cpp LIBS version)
