# COM port database operations, against the msports stand-in installed into
# the test prefix (the test program runs itself again once it is in place).
q5_add_wine_test(comports_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/comports_test.cpp LIBS q5dmcore q5msportstest)
