# KillProcessByName against child programs with windows (under a virtual X
# server: Wine makes no windows without a display).
q5_add_wine_test(processes_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/processes_test.cpp LIBS q5dmcore q5childtest XDISPLAY
  TIMEOUT 400)
