// Appending rows (packing each group as it fills) and scoring all of them.
#include "hnsw/blocked_rows.hpp"

#include <cmath>
#include <cstring>
#include <span>

#include "metrics/kernels.hpp"

namespace ombrix {

bool BlockedRows::append(const double* row) noexcept {
    if (dim_ > 0) {
        const std::size_t used = count_ * dim_;
        const bool completes_group = (count_ + 1) % kernels::kBlockLanes == 0;
        // Where the group this row completes begins, in the rows and the
        // blocks alike.
        const std::size_t group_start = completes_group ? used + dim_ - kernels::kBlockLanes * dim_ : 0;
        if (!rows_.reserve(used + dim_, used)) return false;
        if (completes_group && !blocks_.reserve(used + dim_, group_start)) return false;
        std::memcpy(rows_.data() + used, row, dim_ * sizeof(double));
        // Until the row counts, the new block is never read.
        if (completes_group) kernels::best().pack(rows_.data() + group_start, dim_, blocks_.data() + group_start);
    }
    if (keep_norms_) {
        try {
            norms_.push_back(std::sqrt(squared_norm({row, dim_})));
        } catch (...) {
            return false;
        }
    }
    ++count_;
    return true;
}

void BlockedRows::truncate(std::size_t count) noexcept {
    if (count >= count_) return;
    count_ = count;
    if (keep_norms_) norms_.resize(count);
}

void BlockedRows::score_all(const PreparedQuery& query, double* out) const noexcept {
    const double* const norms = this->norms();
    // Without coordinates there are no blocks: every row is scored alone.
    const std::size_t grouped = dim_ > 0 ? count_ / kernels::kBlockLanes * kernels::kBlockLanes : 0;
    if (grouped > 0) {
        const bool euclidean = query.metric == Metric::Euclidean;
        const kernels::Variant& kernel = kernels::for_scan(grouped * dim_ * sizeof(double));
        const kernels::BlockKernel scan_block = euclidean ? kernel.block_euclidean : kernel.block_dot;
        for (std::size_t first = 0; first < grouped; first += kernels::kBlockLanes) {
            scan_block(query.data, blocks_.data() + first * dim_, query.common, norms ? norms + first : nullptr,
                       query.norm, 0, 0.0, out + first);
            if (euclidean)
                for (std::size_t l = 0; l < kernels::kBlockLanes; ++l) out[first + l] = std::sqrt(out[first + l]);
        }
    }
    score_contiguous(query, row(grouped), dim_, norms ? norms + grouped : nullptr, count_ - grouped,
                     out + grouped);
}

}  // namespace ombrix
