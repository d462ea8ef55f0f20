q5_add_wine_test(registration_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/registration_test.cpp LIBS q5dmcore)
