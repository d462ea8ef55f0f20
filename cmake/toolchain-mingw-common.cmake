# Debian's clang and lld build every Windows image, against the mingw-w64
# headers and import libraries and the C++ runtime of gcc-mingw-w64's posix
# flavour: that one carries std::mutex and friends, which GoogleTest needs.
# clang would pick the win32 flavour by itself (the higher-sorting folder),
# so the posix one is named: its C++ headers, and its folder first on the
# library path. Everything is linked statically so no runtime DLL travels
# with a binary (-pthread: the posix runtime needs its threads library; a C
# or runtime-less link does not use all of these, which is no fault).
# windres and widl stay the binutils/Wine ones.
set(Q5_LLVM 19)
set(Q5_GCC_DIR /usr/lib/gcc/${Q5_TRIPLE}/12-posix)
if(NOT EXISTS ${Q5_GCC_DIR}/include/c++)
  message(FATAL_ERROR "no posix-flavoured mingw-w64 C++ runtime at ${Q5_GCC_DIR} (tools/install-deps.sh)")
endif()
set(CMAKE_C_COMPILER   clang-${Q5_LLVM})
set(CMAKE_CXX_COMPILER clang++-${Q5_LLVM})
set(CMAKE_C_COMPILER_TARGET   ${Q5_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${Q5_TRIPLE})
set(CMAKE_ASM_COMPILER clang-${Q5_LLVM})
set(CMAKE_ASM_COMPILER_TARGET ${Q5_TRIPLE})
# The link map gains the files read (lld-with-inputs.sh).
set(CMAKE_LINKER       ld.lld-${Q5_LLVM})
set(CMAKE_AR           ${Q5_TRIPLE}-ar)
set(CMAKE_RANLIB       ${Q5_TRIPLE}-ranlib)
set(CMAKE_OBJCOPY      ${Q5_TRIPLE}-objcopy)
set(CMAKE_RC_COMPILER  ${Q5_TRIPLE}-windres)
set(Q5_WIDL            ${Q5_TRIPLE}-widl)
set(Q5_DLLTOOL         ${Q5_TRIPLE}-dlltool)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${Q5_GCC_DIR}/include/c++ -isystem ${Q5_GCC_DIR}/include/c++/${Q5_TRIPLE} -isystem ${Q5_GCC_DIR}/include/c++/backward")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${CMAKE_CURRENT_LIST_DIR}/lld-with-inputs.sh -L${Q5_GCC_DIR} -pthread -Wno-unused-command-line-argument")
endforeach()
set(CMAKE_FIND_ROOT_PATH /usr/${Q5_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
