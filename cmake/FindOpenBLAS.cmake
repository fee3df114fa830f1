# OpenBLAS through its CBLAS interface: Debian's pthread build (libopenblas-pthread-dev),
# header and library both from its own directories. /usr/lib/<arch>/libopenblas.so is
# an update-alternatives link to whichever build has the highest priority, possibly
# the serial one (libopenblas-serial-dev), which is not safe for concurrent calls
# (wrong products when several threads call sgemm). The search runs its own threads
# and keeps OpenBLAS on the calling thread (openblas_set_num_threads(1)).
# The directories are the compiler's multiarch ones (x86_64-linux-gnu,
# aarch64-linux-gnu, ...), as CMake learnt them from the compiler.
set(OPENBLAS_PTHREAD_INCLUDE /usr/include/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-pthread)
set(OPENBLAS_PTHREAD_LIB /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-pthread)
# A path cached by an earlier configuration from anywhere else is looked up again.
if(OPENBLAS_INCLUDE_DIR AND NOT OPENBLAS_INCLUDE_DIR STREQUAL OPENBLAS_PTHREAD_INCLUDE)
  unset(OPENBLAS_INCLUDE_DIR CACHE)
endif()
if(OPENBLAS_LIBRARY AND NOT OPENBLAS_LIBRARY MATCHES "^${OPENBLAS_PTHREAD_LIB}/")
  unset(OPENBLAS_LIBRARY CACHE)
endif()
find_path(OPENBLAS_INCLUDE_DIR cblas.h PATHS ${OPENBLAS_PTHREAD_INCLUDE} NO_DEFAULT_PATH)
find_library(OPENBLAS_LIBRARY NAMES openblas PATHS ${OPENBLAS_PTHREAD_LIB} NO_DEFAULT_PATH)
if(NOT OPENBLAS_INCLUDE_DIR OR NOT OPENBLAS_LIBRARY)
  message(FATAL_ERROR "OpenBLAS's pthread build not found (${OPENBLAS_PTHREAD_INCLUDE}/cblas.h, "
    "${OPENBLAS_PTHREAD_LIB}/libopenblas.so): apt-get install libopenblas-pthread-dev")
endif()
message(STATUS "OpenBLAS: ${OPENBLAS_LIBRARY} (${OPENBLAS_INCLUDE_DIR})")
add_library(OpenBLAS::OpenBLAS INTERFACE IMPORTED)
set_target_properties(OpenBLAS::OpenBLAS PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${OPENBLAS_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${OPENBLAS_LIBRARY}")
