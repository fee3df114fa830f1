# OpenBLAS through its CBLAS interface (Debian: libopenblas-dev). The search runs
# its own threads and keeps OpenBLAS on the calling thread (openblas_set_num_threads).
# KMEANS_BLAS_VARIANT=serial links Debian's single-threaded build instead
# (libopenblas-serial-dev), which starts no threads of its own: ThreadSanitizer
# builds use it so every thread in the process is ours.
set(KMEANS_BLAS_VARIANT "" CACHE STRING "OpenBLAS variant: empty (system default) or serial")
if(KMEANS_BLAS_VARIANT STREQUAL "serial")
  set(_dir /usr/lib/x86_64-linux-gnu/openblas-serial)
  find_path(OPENBLAS_INCLUDE_DIR cblas.h PATHS /usr/include/x86_64-linux-gnu/openblas-serial NO_DEFAULT_PATH)
  find_library(OPENBLAS_LIBRARY NAMES openblas PATHS ${_dir} NO_DEFAULT_PATH)
else()
  find_path(OPENBLAS_INCLUDE_DIR cblas.h
    PATHS /usr/include/x86_64-linux-gnu/openblas-pthread /usr/include/openblas /usr/include
    NO_DEFAULT_PATH)
  find_library(OPENBLAS_LIBRARY NAMES openblas
    PATHS /usr/lib/x86_64-linux-gnu/openblas-pthread /usr/lib/x86_64-linux-gnu)
endif()
if(NOT OPENBLAS_INCLUDE_DIR OR NOT OPENBLAS_LIBRARY)
  message(FATAL_ERROR "OpenBLAS not found: apt-get install libopenblas-dev")
endif()
message(STATUS "OpenBLAS: ${OPENBLAS_LIBRARY} (${OPENBLAS_INCLUDE_DIR})")
add_library(OpenBLAS::OpenBLAS INTERFACE IMPORTED)
set_target_properties(OpenBLAS::OpenBLAS PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${OPENBLAS_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${OPENBLAS_LIBRARY}")
if(KMEANS_BLAS_VARIANT STREQUAL "serial")
  # The soname is shared by both variants: find this one first at run time.
  set_property(TARGET OpenBLAS::OpenBLAS PROPERTY INTERFACE_LINK_OPTIONS "-Wl,-rpath,${_dir}")
endif()
