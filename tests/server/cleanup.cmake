q5_add_wine_test(cleanup_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/cleanup_test.cpp LIBS q5dmcore)
