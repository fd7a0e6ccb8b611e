// Appending rows (packing each group as it completes) and scoring all of them.
#include "storage/blocked_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

namespace ombrix {

using kernels::kBlockLanes;

bool BlockedRows::reserve(std::size_t more) noexcept {
    if (more > SIZE_MAX - count_) return false;
    const std::size_t total = count_ + more;
    if (keep_norms_ && !norms_.reserve(total, count_, growth_shift_)) return false;
    if (dim_ == 0 || more == 0) return true;
    if (total > SIZE_MAX / sizeof(double) / dim_) return false;
    const std::size_t grouped_now = grouped();
    if (!blocks_.reserve(total / kBlockLanes * kBlockLanes * dim_, grouped_now * dim_, growth_shift_)) return false;
    if (keep_ == KeepRows::All) return rows_.reserve(total * dim_, count_ * dim_, growth_shift_);
    if (keep_ == KeepRows::None) return true;
    const std::size_t waiting = count_ - grouped_now;
    return rows_.reserve(std::min(kBlockLanes, waiting + more) * dim_, waiting * dim_, growth_shift_);
}

void BlockedRows::append(const double* rows, std::size_t count) noexcept {
    if (keep_norms_) row_norms(rows, count, dim_, norms_.data() + count_);
    if (dim_ == 0) {
        count_ += count;
        return;
    }
    const std::size_t group_values = kBlockLanes * dim_;
    if (keep_ == KeepRows::All) {
        std::memcpy(rows_.data() + count_ * dim_, rows, count * dim_ * sizeof(double));
        // Until the rows count, the new blocks are never read.
        for (std::size_t end = grouped() + kBlockLanes; end <= count_ + count; end += kBlockLanes) {
            const std::size_t start = (end - kBlockLanes) * dim_;
            kernels::best().pack(rows_.data() + start, dim_, blocks_.data() + start);
        }
        count_ += count;
        return;
    }
    // Whole groups go straight from the caller's rows into blocks; the rest
    // wait row by row until their group completes.
    std::size_t done = 0;
    while (done < count) {
        const std::size_t waiting = count_ % kBlockLanes;
        double* block = blocks_.data() + (count_ / kBlockLanes) * group_values;
        const double* next = rows + done * dim_;
        if (waiting == 0 && count - done >= kBlockLanes) {
            kernels::best().pack(next, dim_, block);
            done += kBlockLanes;
            count_ += kBlockLanes;
            continue;
        }
        const std::size_t take = std::min(kBlockLanes - waiting, count - done);
        std::memcpy(rows_.data() + waiting * dim_, next, take * dim_ * sizeof(double));
        done += take;
        count_ += take;
        if (waiting + take == kBlockLanes) kernels::best().pack(rows_.data(), dim_, block);
    }
}

void BlockedRows::append_group(const double* const* rows) noexcept {
    if (keep_norms_)
        for (std::size_t l = 0; l < kBlockLanes; ++l)
            norms_.data()[count_ + l] = std::sqrt(squared_norm({rows[l], dim_}));
    // With no rows kept, count_ is a whole number of groups.
    double* const block = blocks_.data() + count_ * dim_;
    for (std::size_t j = 0; j < dim_; ++j)
        for (std::size_t l = 0; l < kBlockLanes; ++l) block[j * kBlockLanes + l] = rows[l][j];
    count_ += kBlockLanes;
}

void BlockedRows::score_all(const PreparedQuery& query, double* out) const noexcept {
    const GroupScan scan(*this, query);
    const bool euclidean = query.metric == Metric::Euclidean;
    for (std::size_t g = 0; g < scan.groups(); ++g) {
        double* values = out + g * kBlockLanes;
        scan.score(g, 0, 0.0, values);
        if (euclidean)
            for (std::size_t l = 0; l < kBlockLanes; ++l) values[l] = std::sqrt(values[l]);
    }
    const std::size_t first = grouped();
    const double* const norms = this->norms();
    score_contiguous(query, rest(), dim_, norms ? norms + first : nullptr, count_ - first, out + first);
}

}  // namespace ombrix
