# OpenBLAS through its CBLAS interface (Debian: libopenblas-dev, the pthread build).
# The search runs its own threads and keeps OpenBLAS on the calling thread
# (openblas_set_num_threads(1)). Not the serial build (libopenblas-serial-dev): it is
# not safe for concurrent calls (wrong products when several threads call sgemm).
find_path(OPENBLAS_INCLUDE_DIR cblas.h
  PATHS /usr/include/x86_64-linux-gnu/openblas-pthread /usr/include/openblas /usr/include
  NO_DEFAULT_PATH)
find_library(OPENBLAS_LIBRARY NAMES openblas
  PATHS /usr/lib/x86_64-linux-gnu/openblas-pthread /usr/lib/x86_64-linux-gnu)
if(NOT OPENBLAS_INCLUDE_DIR OR NOT OPENBLAS_LIBRARY)
  message(FATAL_ERROR "OpenBLAS not found: apt-get install libopenblas-dev")
endif()
message(STATUS "OpenBLAS: ${OPENBLAS_LIBRARY} (${OPENBLAS_INCLUDE_DIR})")
add_library(OpenBLAS::OpenBLAS INTERFACE IMPORTED)
set_target_properties(OpenBLAS::OpenBLAS PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${OPENBLAS_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${OPENBLAS_LIBRARY}")
