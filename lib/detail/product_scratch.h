// product_scratch.h - the address space the score product takes for itself.
//
// OpenBLAS gives each product in flight a scratch buffer from a pool of its own
// (128 MiB each in Debian's build), mapped on first need and kept for the rest of
// the process. When that mapping fails - under an address-space limit (ulimit -v),
// or with strict overcommit - OpenBLAS retries it forever: the program hangs
// instead of reporting that memory is short. So the pool is filled before any
// worker calls the product, with as many buffers as there will be products at once,
// each one taken only after a mapping of its size has been shown to succeed.
#ifndef KMEANS_PRODUCT_SCRATCH_H
#define KMEANS_PRODUCT_SCRATCH_H

namespace kmeans::detail {

// Makes sure the product library holds scratch for `workers` concurrent products.
// False, with nothing kept, when the address space cannot hold it: the caller
// reports its memory message. At most 64 are taken (product_scratch.cpp says why).
// True at once when the pool already holds that many,
// and always with a BLAS that keeps no such pool (or an OpenBLAS other than 0.3.x,
// whose pool is not known). Call it from one thread, before
// the workers start (the drivers' set-up does).
bool reserve_product_scratch(int workers);

}  // namespace kmeans::detail

#endif
