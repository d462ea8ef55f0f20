# Puts a deliverable into out/bin under its final file name.
function(q5_deliverable target filename)
  get_filename_component(base ${filename} NAME_WE)
  get_filename_component(ext ${filename} EXT)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${base}
    PREFIX ""
    SUFFIX ${ext}
    RUNTIME_OUTPUT_DIRECTORY ${Q5_OUT_BIN}
    LIBRARY_OUTPUT_DIRECTORY ${Q5_OUT_BIN})
  # A program is started in terminal sessions without the compatibility
  # shims for old programs. The x86 images register no SEH handler: GCC
  # unwinds with DWARF-2 tables, and nothing in the images or their static
  # runtimes links a frame into fs:[0] (tools/binary-check.py looks).
  if(ext STREQUAL ".exe")
    target_link_options(${target} PRIVATE -Wl,--tsaware)
  endif()
  if(Q5_ARCH STREQUAL "x86")
    target_link_options(${target} PRIVATE -Wl,--no-seh)
  endif()
endfunction()

# Converts a Linux path into the Windows path that Wine's Z: drive gives it.
function(q5_wine_path out path)
  string(REPLACE "/" "\\\\" winpath "${path}")
  set(${out} "Z:${winpath}" PARENT_SCOPE)
endfunction()
