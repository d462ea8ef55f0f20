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

# The linker writes the image without symbol table or debug data, and its
# symbols as a PDB, which the Windows debuggers read from a crash dump; the
# image's CodeView record names the PDB by file name only, with the GUID and
# age that the PDB carries. With -Brepro the GUID and the image's time stamp
# are hashes of the image, so two builds of one commit give the same bytes and
# another build another GUID. The image goes to the build tree (Q5_IMAGE_DIR),
# to out/bin, and with its PDB into the symbol store Q5_OUT_SYMBOLS
# (tools/symbol_store.py gives the layout). No DWARF copy is made: the
# debuggers that analyse a customer's dump read PDBs only, gdb under Wine is
# no way we support to analyse one, and DWARF beside it would double the
# link's debug work. Every path on the link line is relative to the build
# folder, since lld writes its command line into the PDB; -pdbsourcepath
# makes the PDB's relative paths absolute under a fixed name instead of the
# build folder. The link map is what the bill of materials is read from.
function(q5_ship_stripped target filename)
  get_filename_component(base ${filename} NAME_WE)
  set(pdb pdb/${base}.pdb)
  target_link_options(${target} PRIVATE -s -Wl,--pdb=${pdb} -Wl,-Xlink=-pdbaltpath:%_PDB% -Wl,-Xlink=-Brepro
    -Wl,-Xlink=-pdbsourcepath:${Q5_PDB_SOURCE_PATH} -Wl,-Map=maps/${filename}.map)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${Q5_OUT_BIN}/${filename}
    COMMAND ${Q5_PYTHON3} ${CMAKE_SOURCE_DIR}/tools/symbol_store.py ${Q5_OUT_SYMBOLS} ${Q5_OUT_BIN}/${filename} ${CMAKE_BINARY_DIR}/${pdb}
    BYPRODUCTS ${Q5_OUT_BIN}/${filename} ${CMAKE_BINARY_DIR}/${pdb} ${Q5_MAP_DIR}/${filename}.map
    VERBATIM)
endfunction()

# Converts a Linux path into the Windows path that Wine's Z: drive gives it.
function(q5_wine_path out path)
  string(REPLACE "/" "\\\\" winpath "${path}")
  set(${out} "Z:${winpath}" PARENT_SCOPE)
endfunction()
