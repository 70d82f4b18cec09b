# The download for Windows users, made by `cmake --workflow --preset windows-release`:
# build/windows-release/Quillmar-<version>-win64.zip holding Quillmar.exe without its
# debug information, a README.txt for the person who downloads it, Quillmar's own
# LICENSE.txt, and the licence notices of everything linked into the exe.
option(QUILLMAR_RELEASE_PACKAGE "Strip Quillmar.exe (debug information beside it) and package it" OFF)
if(NOT WIN32 OR NOT QUILLMAR_RELEASE_PACKAGE)
  return()
endif()

# Users get the small exe; a crash address is read against Quillmar.exe.debug, kept
# beside it in the build folder (gdb and addr2line find it through the debug link).
add_custom_command(TARGET Quillmar POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug Quillmar.exe Quillmar.exe.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=Quillmar.exe.debug Quillmar.exe
  WORKING_DIRECTORY $<TARGET_FILE_DIR:Quillmar>
  VERBATIM)

# The licence notice of a file linked into the exe: the copyright file of the Debian
# package that installed it, so the notices follow the toolchain actually used.
function(quillmar_notice_of file result)
  execute_process(COMMAND dpkg-query --search ${file}
    OUTPUT_VARIABLE owner RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "[:,].*" "" package "${owner}")
  set(notice /usr/share/doc/${package}/copyright)
  if(failed OR NOT EXISTS ${notice})
    message(FATAL_ERROR "No licence notice for ${file}: the download needs it")
  endif()
  set(${result} ${notice} PARENT_SCOPE)
endfunction()

function(quillmar_runtime_library name result)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${path}" path)
  set(${result} ${path} PARENT_SCOPE)
endfunction()

quillmar_runtime_library(libstdc++.a cxx_runtime)          # with libgcc, from GCC
quillmar_runtime_library(libwinpthread.a mingw_runtime)    # with the CRT, from MinGW-w64
quillmar_notice_of(${STB_INCLUDE_DIR}/stb_image.h stb_notice)
quillmar_notice_of(${cxx_runtime} cxx_notice)
quillmar_notice_of(${mingw_runtime} mingw_notice)

# Windows line ends and a byte order mark, so that every Notepad shows the Chinese text.
configure_file(${PROJECT_SOURCE_DIR}/docs/README-download.txt.in
  ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
# Quillmar's own licence, named .txt with Windows line ends so that a double click
# opens it in Notepad (a file without an extension asks which program to use).
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS Quillmar RUNTIME DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
install(FILES ${stb_notice} DESTINATION licenses RENAME stb_image.txt)
install(FILES ${mingw_notice} DESTINATION licenses RENAME mingw-w64-runtime.txt)
install(FILES ${cxx_notice} DESTINATION licenses RENAME gcc-cxx-runtime.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Quillmar)
set(CPACK_PACKAGE_FILE_NAME Quillmar-${QUILLMAR_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
