# libobs for the Windows build: Debian's libobs headers (the same ones the
# Linux build uses, so the module loads into any OBS Studio from that
# version on) and an import library for OBS Studio's obs.dll, made by
# scripts/build-windows.
#
# Under any compiler but MSVC the headers include SIMDe, which Debian ships
# in /usr/include/simde; mingw gets an include folder holding only a link
# to it, never all of /usr/include (Linux headers would shadow Windows
# ones).
set(QM_OBS_INCLUDE_DIR /usr/include/obs CACHE PATH "libobs headers")
set(QM_SIMDE_INCLUDE_DIR /usr/include/simde CACHE PATH "SIMDe headers")
set(QM_OBS_IMPORT_LIB "" CACHE FILEPATH "Import library of obs.dll")
if(NOT EXISTS "${QM_OBS_IMPORT_LIB}")
  message(FATAL_ERROR
    "QM_OBS_IMPORT_LIB must name the import library of obs.dll "
    "(scripts/build-windows makes one)")
endif()

set(qm_simde_link_dir ${CMAKE_BINARY_DIR}/simde-include)
file(MAKE_DIRECTORY ${qm_simde_link_dir})
file(CREATE_LINK ${QM_SIMDE_INCLUDE_DIR} ${qm_simde_link_dir}/simde SYMBOLIC)

add_library(OBS::libobs SHARED IMPORTED)
set_target_properties(OBS::libobs PROPERTIES
  IMPORTED_IMPLIB "${QM_OBS_IMPORT_LIB}"
  INTERFACE_INCLUDE_DIRECTORIES "${QM_OBS_INCLUDE_DIR};${qm_simde_link_dir}"
  # What libobs's own CMake package gives every module that uses it.
  INTERFACE_COMPILE_DEFINITIONS HAVE_OBSCONFIG_H
  INTERFACE_COMPILE_OPTIONS "-mmmx;-msse;-msse2")

# Everything links the C++ and GCC runtimes (with winpthreads) statically,
# so that a program or the module needs no mingw DLL next to it.
add_link_options(-static -static-libgcc -static-libstdc++)

# Programs and the module side by side, where Windows looks for DLLs first.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
