// search.h - the nearest-centre search's internals, shared by both search variants
// (min_cluster.cpp, min_cluster_mt.cpp): centres prepared with the error bound of
// their scores, tiles of the score product, the certified choice of a row's centre,
// and the BLAS thread policy.
//
// A row's nearest centre is, by definition, the centre j with the smallest
//     D_j = sum over t = 0 .. d-1 of (x_t - c_jt)^2,
// each difference and square formed in double and summed in that order
// (squared_distance in fixed_order.h), the lowest index among equals. That is a
// function of the row and the centres alone: no BLAS, kernel, tile, block size or
// thread count can change it. The float sgemm scores only filter: their error is at
// most a proven bound E, so a centre whose score lies 3E or more below the best one
// cannot be the nearest. When only the best is left, it is the answer; otherwise
// the few centres left are measured in double. The proof is in search.cpp.
#ifndef KMEANS_SEARCH_H
#define KMEANS_SEARCH_H

#include <cstdint>
#include <memory>

#include "detail/product.h"

namespace kmeans::detail {

class ExactSums;

// What the filter's scores are computed from: the float operands, or both rounded to
// bf16 (bf16_filter.h) and multiplied on the CPU's bf16 unit, or - on any CPU, for the
// tests - the same bf16 values multiplied as floats, which carries the same bound.
enum class ScoreFilter { float32, bf16, bf16Emulated };

// The centres as one search sees them. Without a shift the product's operand is
// the model's own centre rows; with one, a copy holding c - mu and its norm column,
// so that data far from zero keep a sharp bound (distances do not change).
struct SearchPlan {
    int k = 0;
    int d = 0;
    const float* centers = nullptr;  // the true centres, augmented rows (stride d+1)
    const float* operand = nullptr;  // the product's centre rows (centers, or shifted)
    const float* shift = nullptr;    // mu (d floats), or null for no shift
    // Error bound of one row's float scores, E = alpha * R + beta, R an upper bound
    // of |x - mu|; valid while R * maxNorm + halfColumn stays below 2^127.
    double alpha = 0;
    double beta = 0;
    double maxNorm = 0;                // upper bound of every |operand row|
    double halfColumn = 0;             // half the largest |norm column|
    double distanceError = 0;          // relative error bound of squared_distance for this d
    bool exactOnly = false;            // no usable bound: every row measured against every centre
    std::unique_ptr<float[]> storage;  // the shifted operand and mu
    // The bf16 filter's operands, when it scores (prepare_filter): the bound becomes
    // E = alpha R + beta + rowDelta delta, delta an upper bound of how far the row's
    // bf16 rounding moved it; maxNorm then covers the rounded centres too.
    ScoreFilter filter = ScoreFilter::float32;
    const std::uint16_t* halfCentres = nullptr;  // k x d bf16 (filter bf16)
    const float* halfBias = nullptr;             // -n'_j / 2, not rounded (filter bf16)
    const float* emulated = nullptr;  // k augmented rows of bf16 values (filter bf16Emulated)
    double rowDelta = 0;
    double floatAlpha = 0;  // the float bound's alpha and beta, for candidates rescored in float
    double floatBeta = 0;
    // halfCentres packed block by block for the product's kernel (bf16_pack), when the
    // tiles' blocks are packBlock centres: packs[b] holds block b, or is null.
    int packBlock = 0;
    std::unique_ptr<Bf16PackedRows[]> packs;
    std::unique_ptr<std::uint16_t[]> halfStorage;
    std::unique_ptr<float[]> filterStorage;
};

// The centres per block of the bf16 filter's tiles, for k centres (as search_tiles
// takes them when its memory is at hand and no test sets them).
int bf16_block_centres(int k);
// Its tiles' rows.
int bf16_tile_rows();

// Prepares a plan for k augmented centre rows (column d as the model keeps it: the
// bound measures how far it is from the row's squared norm), filtering in float.
// `shift` (d floats, or null) is copied. False when the shifted copy cannot be
// allocated; without a shift it always succeeds.
bool prepare_search(SearchPlan& plan, const float* centers, int k, int d, const float* shift);

// The same, shifted by `shift` when there is one and memory for the shifted copy, else
// unshifted (the choice of each row does not depend on it), with the filter
// default_filter() names (bf16_filter.h). For every search whose scores no one reads. `bounds` (the
// rows' |x - shift| from row_bounds, or null) serves only a plan that took the shift: it is set to
// null otherwise, and each tile then bounds its rows itself.
void prepare_search_or_unshifted(SearchPlan& plan, const float* centers, int k, int d,
                                 const float* shift, const float*& bounds);

// mu = the mean of n augmented rows, and true, when the rows sit far from zero
// compared with their spread, so that shifting the product by mu pays; false (mu
// untouched) otherwise. Used on the training data, and on a model's centres.
bool choose_shift(const float* rows, int n, int d, float* mu);

// Upper bounds of |x - shift| (shift may be null) for n augmented rows, into out[n]:
// +inf for a row holding an infinity, NaN for a NaN.
void row_bounds(const float* rows, int n, int d, const float* shift, float* out);

struct SearchCounts {
    long long rows = 0;            // rows searched
    long long narrowed = 0;        // rows whose scores left several candidates, measured in double
    long long exhaustive = 0;      // rows measured against every centre (no usable bound)
    long long refined = 0;         // rows whose bf16 scores left several, rescored in float
    long long kept = 0;            // rows whose bound kept their centre, not searched (prune.h)
    long long grouped = 0;         // rows measured in double against a few groups (prune.h)
    long long groupsExamined = 0;  // the groups those rows measured
    SearchCounts& operator+=(const SearchCounts& o) {
        rows += o.rows;
        narrowed += o.narrowed;
        refined += o.refined;
        exhaustive += o.exhaustive;
        kept += o.kept;
        grouped += o.grouped;
        groupsExamined += o.groupsExamined;
        return *this;
    }
};

// Nearest centre of `count` augmented rows against a plan, tile by tile. `bounds`:
// the rows' row_bounds under the plan's shift, or null to compute them here.
// `scores`: the caller's count*k score matrix, or null (scores are scratch). Adds to
// *counts (when not null). Short of memory for its tiles, it measures every row in
// double against every centre: slow, but the same answer, and nothing to allocate.
// `sums` (or null): each tile's rows are added to it as soon as their nearest
// centres are known, while the rows are still in cache.
// `gaps` (or null): for each row and each group of centres (groups of groupSize
// consecutive indices, the last perhaps shorter; <= 0: one group of all), a proven
// lower bound of D_j - D_c over the group's centres j other than the row's chosen c
// (exact squared distances; 0 where the scores prove nothing, +inf where no such
// centre has a score): count * groups floats, row by row.
void search_tiles(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                  float* scores, int* nearest, SearchCounts* counts, ExactSums* sums = nullptr,
                  float* gaps = nullptr, int groupSize = 0);

#ifdef KMEANS_TEST_HOOKS
// Switches for the tests, which compile this search with KMEANS_TEST_HOOKS: they
// exist in no program.
struct SearchTestHooks {
    bool perturb = false;        // move every float score by +-(3/4) E (alternating) first
    bool plainArgmax = false;    // choose by the float argmax alone, without the certificate
    int centreBlock = 0;         // centres per block of a tile's product (0: the search's own)
    bool noPruneMargin = false;  // prune.h's bounds without their margins (must go wrong)
};
extern SearchTestHooks search_test_hooks;
#endif

}  // namespace kmeans::detail

#endif  // KMEANS_SEARCH_H
