# Operations whose on-demand library cannot be loaded. A program of its own:
# its cases need libraries that nothing in the program has loaded yet.
q5_add_wine_test(ondemand_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ondemand_test.cpp LIBS q5dmcore)
