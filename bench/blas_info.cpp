// blas_info - the product libraries this build links: OpenBLAS's build configuration
// and the core its kernels were picked for (DYNAMIC_ARCH builds choose at run time),
// and, when the build has it, the instruction set oneDNN's kernels use.
#include <cblas.h>

#include <cstdio>

#ifdef KMEANS_HAVE_ONEDNN
#include <dnnl.h>

static const char* isa_name(dnnl_cpu_isa_t isa) {
    switch (isa) {
    case dnnl_cpu_isa_sse41: return "SSE4.1";
    case dnnl_cpu_isa_avx: return "AVX";
    case dnnl_cpu_isa_avx2: return "AVX2";
    case dnnl_cpu_isa_avx2_vnni: return "AVX2 + VNNI";
    case dnnl_cpu_isa_avx512_core: return "AVX-512";
    case dnnl_cpu_isa_avx512_core_vnni: return "AVX-512 + VNNI";
    case dnnl_cpu_isa_avx512_core_bf16: return "AVX-512 + BF16";
    case dnnl_cpu_isa_avx512_core_amx: return "AVX-512 + AMX";
    default: return "other";
    }
}
#endif

int main() {
    std::printf("OpenBLAS config: %s\n", openblas_get_config());
    std::printf("OpenBLAS core: %s\n", openblas_get_corename());
    std::printf("OpenBLAS threads: %d (processors %d)\n", openblas_get_num_threads(),
                openblas_get_num_procs());
#ifdef KMEANS_HAVE_ONEDNN
    const dnnl_version_t* v = dnnl_version();
    std::printf("oneDNN %d.%d.%d, kernels for %s\n", v->major, v->minor, v->patch,
                isa_name(dnnl_get_effective_cpu_isa()));
#endif
    return 0;
}
