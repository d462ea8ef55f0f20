q5_add_wine_test(backup_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/backup_test.cpp LIBS q5dmcore)
