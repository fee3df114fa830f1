// openblas_threads_probe - prints the number of threads OpenBLAS computes a product
// on, as a program linked with the OpenBLAS product sees it once started.
#include <cstdio>

extern "C" int openblas_get_num_threads();

int main() {
    std::printf("%d\n", openblas_get_num_threads());
    return 0;
}
