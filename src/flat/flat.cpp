#include "flat/flat.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace ombrix {
namespace {

// Makes room for `extra` more elements with geometric growth, so that a
// series of appends stays amortised O(1) and the append itself cannot throw.
template <class T>
void reserve_extra(std::vector<T>& v, std::size_t extra) {
    const std::size_t needed = v.size() + extra;
    if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() * 2));
}

// How many stored vectors are scored between two updates of the early-exit bound.
constexpr std::size_t kBlock = 16;

// A block's vectors are read as kBlock interleaved streams. Coming from main
// memory, short vectors make that pattern defeat the hardware prefetcher
// (measured: half the bandwidth of one sequential stream), so such blocks are
// first copied sequentially into a buffer that stays in L1.
constexpr std::size_t kStageAbove = (std::size_t{4} << 20) / sizeof(double);  // beyond L2
constexpr std::size_t kStageUpTo = (std::size_t{16} << 10) / sizeof(double);   // one block <= 16 KiB

}  // namespace

const char* to_string(FlatError error) noexcept {
    switch (error) {
        case FlatError::EmptyIndex: return "EmptyIndex";
        case FlatError::EmptyVectors: return "EmptyVectors";
        case FlatError::DimensionMismatch: return "DimensionMismatch";
        case FlatError::OutOfMemory: return "OutOfMemory";
    }
    return "Unknown";
}

void Flat::append(std::span<const double> vector) {
    data_.insert(data_.end(), vector.begin(), vector.end());
    if (metric_ == Metric::Cosine) norms_.push_back(std::sqrt(squared_norm(vector)));
}

std::optional<FlatError> Flat::insert(std::span<const double> vector) noexcept {
    if (vector.size() != dim_) return FlatError::DimensionMismatch;
    try {
        reserve_extra(data_, vector.size());
        if (metric_ == Metric::Cosine) reserve_extra(norms_, 1);
    } catch (const std::bad_alloc&) {
        return FlatError::OutOfMemory;
    }
    append(vector);
    return std::nullopt;
}

std::optional<FlatError> Flat::create(const VectorBatch& vectors, std::size_t& stored) noexcept {
    stored = 0;
    if (vectors.empty()) return FlatError::EmptyVectors;
    std::size_t valid = 0;
    while (valid < vectors.size() && vectors[valid].size() == dim_) ++valid;
    try {
        reserve_extra(data_, valid * dim_);
        if (metric_ == Metric::Cosine) reserve_extra(norms_, valid);
    } catch (const std::bad_alloc&) {
        return FlatError::OutOfMemory;
    }
    for (; stored < valid; ++stored) append(vectors[stored]);
    if (valid < vectors.size()) return FlatError::DimensionMismatch;
    return std::nullopt;
}

std::optional<FlatError> Flat::search(std::span<const double> query, std::uint64_t k,
                                      std::vector<ScoredId>& out) const noexcept {
    out.clear();
    if (query.size() != dim_) return FlatError::DimensionMismatch;
    if (data_.empty()) return FlatError::EmptyIndex;
    const std::uint64_t count = size();
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(k, count));
    if (wanted == 0) return std::nullopt;

    // A bounded max-heap of the best `wanted` pairs seen so far, worst on top.
    // Vectors arrive in id order, so a newcomer that does not rank before the
    // worst kept pair never will: the heap ends holding exactly the first
    // `wanted` pairs of the full ranking.
    try {
        out.reserve(wanted);
    } catch (const std::bad_alloc&) {
        return FlatError::OutOfMemory;
    }
    const PreparedQuery prepared = prepare_query(metric_, query, dim_);
    const double* norms = metric_ == Metric::Cosine ? norms_.data() : nullptr;
    std::vector<double> staged;
    if (data_.size() > kStageAbove && kBlock * dim_ <= kStageUpTo) staged.resize(kBlock * dim_);
    double scores[kBlock];
    const double* vectors[kBlock];
    for (std::uint64_t start = 0; start < count; start += kBlock) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, count - start));
        const double* block = data_.data() + start * dim_;
        if (!staged.empty()) {
            std::memcpy(staged.data(), block, n * dim_ * sizeof(double));
            block = staged.data();
        }
        for (std::size_t l = 0; l < n; ++l) vectors[l] = block + l * dim_;
        std::optional<double> bound;
        if (out.size() == wanted) bound = out.front().distance;
        score_batch(prepared, vectors, norms ? norms + start : nullptr, n, scores, bound);
        for (std::size_t l = 0; l < n; ++l) {
            const ScoredId candidate{scores[l], start + l};
            if (out.size() < wanted) {
                out.push_back(candidate);
                std::push_heap(out.begin(), out.end(), ranks_before);
            } else if (ranks_before(candidate, out.front())) {
                std::pop_heap(out.begin(), out.end(), ranks_before);
                out.back() = candidate;
                std::push_heap(out.begin(), out.end(), ranks_before);
            }
        }
    }
    std::sort_heap(out.begin(), out.end(), ranks_before);
    return std::nullopt;
}

}  // namespace ombrix
