# Puts a deliverable into out/bin under its final file name, stripped.
function(q5_deliverable target filename)
  get_filename_component(base ${filename} NAME_WE)
  get_filename_component(ext ${filename} EXT)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${base}
    PREFIX ""
    SUFFIX ${ext}
    RUNTIME_OUTPUT_DIRECTORY ${Q5_IMAGE_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${Q5_IMAGE_DIR})
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
  q5_ship_stripped(${target} ${filename})
endfunction()

# The image is linked with its symbols into the build tree (Q5_IMAGE_DIR),
# where tests may read them. out/bin gets a copy without symbol table and
# debug data, which go to out/symbols; the two are tied by the CodeView
# entry of the debug directory that --build-id writes (a hash of the image,
# which a crash dump records) and by a debug link (name and CRC of the
# symbol file). The link map is what the bill of materials is read from.
function(q5_ship_stripped target filename)
  set(symbols ${Q5_OUT_SYMBOLS}/${filename}.debug)
  target_link_options(${target} PRIVATE -Wl,--build-id -Wl,-Map=${Q5_MAP_DIR}/${filename}.map)
  # objcopy stamps the time of the copy into the PE header unless told a
  # fixed one.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:${target}> ${symbols}
    COMMAND ${objcopy} --strip-all --add-gnu-debuglink=${symbols} $<TARGET_FILE:${target}> ${Q5_OUT_BIN}/${filename}
    BYPRODUCTS ${Q5_OUT_BIN}/${filename} ${symbols} ${Q5_MAP_DIR}/${filename}.map
    VERBATIM)
endfunction()

# Converts a Linux path into the Windows path that Wine's Z: drive gives it.
function(q5_wine_path out path)
  string(REPLACE "/" "\\\\" winpath "${path}")
  set(${out} "Z:${winpath}" PARENT_SCOPE)
endfunction()
