# CmdLine and SyncExec with child programs and a document (notepad needs a
# display under Wine).
q5_add_wine_test(launch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/launch_test.cpp LIBS q5dmcore q5childtest XDISPLAY)
