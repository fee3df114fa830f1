// blas_info - the OpenBLAS this build links: its build configuration and the core
// its kernels were picked for (DYNAMIC_ARCH builds choose at run time).
#include <cblas.h>

#include <cstdio>

int main() {
    std::printf("OpenBLAS config: %s\n", openblas_get_config());
    std::printf("OpenBLAS core: %s\n", openblas_get_corename());
    std::printf("OpenBLAS threads: %d (processors %d)\n", openblas_get_num_threads(),
                openblas_get_num_procs());
    return 0;
}
