# A dump of the running server of the tree's bitness, written by a program
# of its own (q5dumpwriter) and read back with the symbol store as the only
# symbol path.
add_executable(q5dumpwriter ${CMAKE_CURRENT_LIST_DIR}/dump_writer.cpp)
target_link_options(q5dumpwriter PRIVATE -municode)
target_link_libraries(q5dumpwriter PRIVATE dbghelp)
set_target_properties(q5dumpwriter PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bin)
q5_add_wine_test(dump_symbols_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/dump_symbols_test.cpp LIBS q5e2esupport dbghelp shell32)
add_dependencies(dump_symbols_test q5dumpwriter)
q5_wine_path(q5_store_win ${Q5_OUT_SYMBOLS})
q5_wine_path(q5_dumpwriter_win ${CMAKE_BINARY_DIR}/tests/bin/q5dumpwriter.exe)
target_compile_definitions(dump_symbols_test PRIVATE "Q5_OUT_SYMBOLS_W=L\"${q5_store_win}\"" "Q5_DUMPWRITER_W=L\"${q5_dumpwriter_win}\"")
