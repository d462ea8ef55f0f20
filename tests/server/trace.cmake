q5_add_wine_test(trace_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/trace_test.cpp LIBS q5dmcore)
