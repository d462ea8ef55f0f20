# The -posix compilers carry std::mutex and friends, which GoogleTest needs;
# everything is linked statically so no runtime DLL travels with a binary.
set(CMAKE_C_COMPILER   ${Q5_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${Q5_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${Q5_TRIPLE}-windres)
set(Q5_WIDL            ${Q5_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${Q5_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
