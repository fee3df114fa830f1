// product_onednn_bf16.cpp - the bf16 score product through oneDNN's matmul (its C
// interface: no exceptions), which runs on AMX tiles where the CPU has them
// (brg:avx512_core_amx_bf16) and on AVX512-BF16 dot products elsewhere.
//
// A matmul primitive is made for one shape, so each worker keeps the few it meets (a
// tile of rows against a block of centres, and the last, shorter ones) in a small
// cache of its own; creating one costs far more than running it. Each worker also has
// its own stream; the engine is shared.
#include <dnnl.h>
#include <omp.h>
#include <pthread.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>

#include "detail/product.h"

namespace kmeans::detail {

namespace {

dnnl_engine_t shared_engine() {
    static dnnl_engine_t engine = [] {
        dnnl_engine_t e = nullptr;
        if (dnnl_engine_create(&e, dnnl_cpu, 0) != dnnl_success) e = nullptr;
        return e;
    }();
    return engine;
}

}  // namespace

// Centre rows in the kernel's own layout: its memory descriptor and the memory.
struct Bf16Packed {
    dnnl_memory_desc_t desc;
    dnnl_memory_t memory = nullptr;
    ~Bf16Packed() {
        if (memory != nullptr) dnnl_memory_destroy(memory);
    }
};

void Bf16PackedDeleter::operator()(Bf16Packed* p) const { delete p; }

namespace {

// Primitives are made and destroyed under one lock: oneDNN's primitive cache, shared by
// the workers, is left to one of them at a time (running them needs no lock).
pthread_mutex_t primitives = PTHREAD_MUTEX_INITIALIZER;
struct PrimitivesLock {
    PrimitivesLock() { pthread_mutex_lock(&primitives); }
    ~PrimitivesLock() { pthread_mutex_unlock(&primitives); }
    PrimitivesLock(const PrimitivesLock&) = delete;
    PrimitivesLock& operator=(const PrimitivesLock&) = delete;
};

// The descriptors of c = a * b^T + bias for one shape: src m x k (stride lda), the
// weights k x n given by `layout` (packed), else plain rows of stride ldb, else (`any`)
// in the layout the kernel picks; bias 1 x n; dst m x n (stride ldc).
struct MatmulDescs {
    dnnl_memory_desc_t src, weights, bias, dst;
    dnnl_matmul_desc_t op;
    bool init(int m, int n, int k, int lda, int ldb, int ldc, const dnnl_memory_desc_t* layout,
              bool any) {
        const dnnl_dims_t srcDims = {m, k}, srcStrides = {lda, 1};
        const dnnl_dims_t weightsDims = {k, n}, weightsStrides = {1, ldb};  // b^T in place
        const dnnl_dims_t biasDims = {1, n}, biasStrides = {n, 1};
        const dnnl_dims_t dstDims = {m, n}, dstStrides = {ldc, 1};
        if (layout != nullptr)
            weights = *layout;
        else if ((any ? dnnl_memory_desc_init_by_tag(&weights, 2, weightsDims, dnnl_bf16,
                                                     dnnl_format_tag_any)
                      : dnnl_memory_desc_init_by_strides(&weights, 2, weightsDims, dnnl_bf16,
                                                         weightsStrides)) != dnnl_success)
            return false;
        return dnnl_memory_desc_init_by_strides(&src, 2, srcDims, dnnl_bf16, srcStrides) ==
                   dnnl_success &&
               dnnl_memory_desc_init_by_strides(&bias, 2, biasDims, dnnl_f32, biasStrides) ==
                   dnnl_success &&
               dnnl_memory_desc_init_by_strides(&dst, 2, dstDims, dnnl_f32, dstStrides) ==
                   dnnl_success &&
               dnnl_matmul_desc_init(&op, &src, &weights, &bias, &dst) == dnnl_success;
    }
};

// One shape's primitive and the memory objects its arguments are handed through.
struct Matmul {
    int m = 0, n = 0, k = 0, lda = 0, ldb = 0, ldc = 0;
    bool packed = false;  // weights in a packed layout, weightsDesc
    dnnl_memory_desc_t weightsDesc;
    dnnl_primitive_desc_t desc = nullptr;
    dnnl_primitive_t primitive = nullptr;
    dnnl_memory_t src = nullptr, weights = nullptr, bias = nullptr, dst = nullptr;

    bool matches(int m_, int n_, int k_, int lda_, int ldb_, int ldc_,
                 const dnnl_memory_desc_t* layout) const {
        return primitive != nullptr && m == m_ && n == n_ && k == k_ && lda == lda_ &&
               ldb == ldb_ && ldc == ldc_ && packed == (layout != nullptr) &&
               (layout == nullptr || dnnl_memory_desc_equal(&weightsDesc, layout));
    }
    void release() {
        PrimitivesLock lock;
        release_locked();
    }
    void release_locked() {
        for (dnnl_memory_t* mem : {&src, &weights, &bias, &dst}) {
            if (*mem != nullptr) dnnl_memory_destroy(*mem);
            *mem = nullptr;
        }
        if (primitive != nullptr) dnnl_primitive_destroy(primitive);
        if (desc != nullptr) dnnl_primitive_desc_destroy(desc);
        primitive = nullptr;
        desc = nullptr;
    }

    // layout: the packed weights' descriptor, or null for plain rows of stride ldb.
    bool make(dnnl_engine_t engine, int m_, int n_, int k_, int lda_, int ldb_, int ldc_,
              const dnnl_memory_desc_t* layout) {
        release();
        PrimitivesLock lock;
        m = m_, n = n_, k = k_, lda = lda_, ldb = ldb_, ldc = ldc_;
        packed = layout != nullptr;
        MatmulDescs md;
        if (!md.init(m, n, k, lda, ldb, ldc, layout, false)) return false;
        weightsDesc = md.weights;
        if (dnnl_primitive_desc_create(&desc, &md.op, nullptr, engine, nullptr) ||
            dnnl_primitive_create(&primitive, desc) ||
            dnnl_memory_create(&src, &md.src, engine, DNNL_MEMORY_NONE) ||
            dnnl_memory_create(&weights, &md.weights, engine, DNNL_MEMORY_NONE) ||
            dnnl_memory_create(&bias, &md.bias, engine, DNNL_MEMORY_NONE) ||
            dnnl_memory_create(&dst, &md.dst, engine, DNNL_MEMORY_NONE)) {
            release_locked();
            return false;
        }
        return true;
    }
};

// A worker's primitives, the most recently made replacing the oldest, and its stream.
struct WorkerMatmuls {
    static constexpr int kShapes = 6;
    Matmul shapes[kShapes];
    int next = 0;
    dnnl_stream_t stream = nullptr;

    ~WorkerMatmuls() {
        for (Matmul& s : shapes) s.release();
        if (stream != nullptr) dnnl_stream_destroy(stream);
    }
    void ready() {
        dnnl_engine_t engine = shared_engine();
        if (stream == nullptr && engine != nullptr &&
            dnnl_stream_create(&stream, engine, dnnl_stream_default_flags) != dnnl_success)
            stream = nullptr;
    }
    Matmul* find(int m, int n, int k, int lda, int ldb, int ldc,
                 const dnnl_memory_desc_t* layout = nullptr) {
        for (Matmul& s : shapes)
            if (s.matches(m, n, k, lda, ldb, ldc, layout)) return &s;
        dnnl_engine_t engine = shared_engine();
        if (engine == nullptr || stream == nullptr) return nullptr;
        Matmul& slot = shapes[next];
        next = (next + 1) % kShapes;
        return slot.make(engine, m, n, k, lda, ldb, ldc, layout) ? &slot : nullptr;
    }
};

bool isa_has_bf16() {
    const unsigned isa = unsigned(dnnl_get_effective_cpu_isa());
    const unsigned bf16 = unsigned(dnnl_cpu_isa_avx512_core_bf16);
    return (isa & bf16) == bf16;
}

// The calling worker's primitives, made ready for products on this thread.
WorkerMatmuls& worker_matmuls() {
    thread_local bool alone = false;
    if (!alone) {
        omp_set_num_threads(1);  // this worker computes its own products
        alone = true;
    }
    thread_local WorkerMatmuls cache;
    cache.ready();
    return cache;
}

// One product through a primitive of the worker's cache (null: none could be made).
bool run(WorkerMatmuls& cache, Matmul* op, const void* a, const void* b, const float* bias,
         float* c) {
    if (op == nullptr) return false;
    if (dnnl_memory_set_data_handle(op->src, const_cast<void*>(a)) ||
        dnnl_memory_set_data_handle(op->weights, const_cast<void*>(b)) ||
        dnnl_memory_set_data_handle(op->bias, const_cast<float*>(bias)) ||
        dnnl_memory_set_data_handle(op->dst, c))
        return false;
    const dnnl_exec_arg_t args[4] = {{DNNL_ARG_SRC, op->src},
                                     {DNNL_ARG_WEIGHTS, op->weights},
                                     {DNNL_ARG_BIAS, op->bias},
                                     {DNNL_ARG_DST, op->dst}};
    return dnnl_primitive_execute(op->primitive, cache.stream, 4, args) == dnnl_success &&
           dnnl_stream_wait(cache.stream) == dnnl_success;
}

}  // namespace

bool bf16_product_native() {
    static const bool native = isa_has_bf16();
    return native;
}

bool bf16_score_product(int m, int n, int k, const std::uint16_t* a, int lda,
                        const std::uint16_t* b, int ldb, const float* bias, float* c, int ldc) {
    if (!bf16_product_native()) return false;
    WorkerMatmuls& cache = worker_matmuls();
    return run(cache, cache.find(m, n, k, lda, ldb, ldc), a, b, bias, c);
}

Bf16PackedRows bf16_pack(int m, int n, int k, const std::uint16_t* b, int ldb) {
    if (!bf16_product_native()) return nullptr;
    dnnl_engine_t engine = shared_engine();
    WorkerMatmuls& cache = worker_matmuls();
    if (engine == nullptr || cache.stream == nullptr) return nullptr;
    Bf16PackedRows packed(new (std::nothrow) Bf16Packed);
    if (!packed) return nullptr;
    PrimitivesLock lock;
    // The kernel's own layout for this shape, from a primitive descriptor alone.
    MatmulDescs md;
    dnnl_primitive_desc_t query = nullptr;
    if (!md.init(m, n, k, k, ldb, n, nullptr, true) ||
        dnnl_primitive_desc_create(&query, &md.op, nullptr, engine, nullptr) != dnnl_success)
        return nullptr;
    packed->desc = *dnnl_primitive_desc_query_md(query, dnnl_query_weights_md, 0);
    dnnl_primitive_desc_destroy(query);
    dnnl_memory_desc_t plainDesc;
    const dnnl_dims_t dims = {k, n}, strides = {1, ldb};
    dnnl_memory_t plain = nullptr;
    dnnl_primitive_desc_t reorderDesc = nullptr;
    dnnl_primitive_t reorder = nullptr;
    bool done =
        dnnl_memory_desc_init_by_strides(&plainDesc, 2, dims, dnnl_bf16, strides) == dnnl_success &&
        dnnl_memory_create(&packed->memory, &packed->desc, engine, DNNL_MEMORY_ALLOCATE) ==
            dnnl_success &&
        dnnl_memory_create(&plain, &plainDesc, engine, const_cast<std::uint16_t*>(b)) ==
            dnnl_success &&
        dnnl_reorder_primitive_desc_create(&reorderDesc, &plainDesc, engine, &packed->desc, engine,
                                           nullptr) == dnnl_success &&
        dnnl_primitive_create(&reorder, reorderDesc) == dnnl_success;
    if (done) {
        const dnnl_exec_arg_t args[2] = {{DNNL_ARG_FROM, plain}, {DNNL_ARG_TO, packed->memory}};
        done = dnnl_primitive_execute(reorder, cache.stream, 2, args) == dnnl_success &&
               dnnl_stream_wait(cache.stream) == dnnl_success;
    }
    if (reorder != nullptr) dnnl_primitive_destroy(reorder);
    if (reorderDesc != nullptr) dnnl_primitive_desc_destroy(reorderDesc);
    if (plain != nullptr) dnnl_memory_destroy(plain);
    return done ? std::move(packed) : nullptr;
}

bool bf16_score_product_packed(int m, int n, int k, const std::uint16_t* a, int lda,
                               const Bf16Packed& b, const float* bias, float* c) {
    if (!bf16_product_native()) return false;
    void* weights = nullptr;
    if (dnnl_memory_get_data_handle(b.memory, &weights) != dnnl_success) return false;
    WorkerMatmuls& cache = worker_matmuls();
    return run(cache, cache.find(m, n, k, lda, 0, n, &b.desc), a, weights, bias, c);
}

const char* bf16_product_kernel(int m, int n, int k) {
    thread_local char name[64];
    std::strcpy(name, "none");
    if (!bf16_product_native()) return name;
    WorkerMatmuls probe;
    probe.ready();
    Matmul* op = probe.find(m, n, k, k, k, n);
    const char* impl = nullptr;
    if (op != nullptr &&
        dnnl_primitive_desc_query(op->desc, dnnl_query_impl_info_str, 0, &impl) == dnnl_success &&
        impl != nullptr)
        std::strncpy(name, impl, sizeof(name) - 1);
    return name;
}

}  // namespace kmeans::detail
