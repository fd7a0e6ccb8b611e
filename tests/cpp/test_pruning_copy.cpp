// The pruning copy: its bound never passes a lane's exact value (on data
// built to break the margin), and a flat index searching through it gives
// the plain reference ranking, bit for bit, across inserts, creates and
// refits.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "flat/flat.hpp"
#include "flat/pruning_copy.hpp"
#include "flat_test_support.hpp"
#include "metrics/reference.hpp"
#include "storage/blocked_rows.hpp"

namespace ombrix {
namespace {

using namespace flat_test;

using Rows = std::vector<std::vector<double>>;

// Data of rank 6 plus a little noise (what makes the copy pay), with
// adversarial rows mixed in (`hostile` > 0: a few of every `hostile` rows): magnitudes from 1e-300 to 1e300,
// subnormals and signed zeros, rows differing from a neighbour in the last
// bit, all-equal stretches, exact duplicates (ties), NaN and infinity.
Rows make_rows(std::size_t count, std::size_t dim, std::mt19937_64& rng, std::size_t hostile, std::size_t offset = 0) {
    std::normal_distribution<double> gauss;
    static thread_local std::vector<double> basis;
    if (basis.size() != 6 * dim) {
        std::mt19937_64 fixed(dim);
        basis.resize(6 * dim);
        for (double& b : basis) b = gauss(fixed);
    }
    Rows rows(count, std::vector<double>(dim));
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<double>& x = rows[i];
        for (std::size_t r = 0; r < 6; ++r) {
            const double a = gauss(rng) * (6.0 - r);
            for (std::size_t j = 0; j < dim; ++j) x[j] += a * basis[r * dim + j];
        }
        for (double& v : x) v += 1e-3 * gauss(rng);
        if (hostile == 0) continue;
        const std::size_t id = i + offset;
        switch (id % hostile) {
            case 1:
                for (double& v : x) v *= std::pow(10.0, double(int(id % 601) - 300));
                break;
            case 2:
                for (std::size_t j = 0; j < dim; ++j) x[j] = j % 3 == 0 ? 4.9e-324 * double(j) : j % 3 ? -0.0 : 0.0;
                break;
            case 3:
                if (i > 0) {
                    x = rows[i - 1];
                    x[id % dim] = std::nextafter(x[id % dim], kInf);
                }
                break;
            case 4: std::fill(x.begin(), x.end(), 0.5); break;  // all equal, and the same every time
            case 5: x[id % dim] = id % 2 ? kNaN : -kInf; break;
            case 6: x = rows[0]; break;  // duplicates of row 0 in many groups
            case 7:
                for (double& v : x) v *= 1e-30;
                break;
            default: break;
        }
    }
    return rows;
}

// Queries: stored rows, a stored row moved by one bit, new rows, a scaled
// row, the zero vector and a NaN.
Rows make_queries(const Rows& stored, std::mt19937_64& rng) {
    const std::size_t dim = stored[0].size();
    Rows queries = make_rows(4, dim, rng, 0);
    queries.push_back(stored[0]);
    queries.push_back(stored[stored.size() / 2]);
    queries.push_back(stored[6]);
    queries.back()[dim - 1] = std::nextafter(queries.back()[dim - 1], -kInf);
    queries.push_back(stored[1]);
    for (double& v : queries.back()) v *= 1e20;
    queries.push_back(std::vector<double>(dim, 0.0));
    queries.push_back(stored[2]);
    queries.back()[0] = kNaN;
    return queries;
}

// Every lane's exact value, passed as the k-th value to beat, keeps the lane
// live: the bound is never above the value a scan computes.
TEST(PruningCopy, BoundNeverPassesTheExactValue) {
    for (const std::size_t dim : {std::size_t{97}, std::size_t{785}}) {
        std::mt19937_64 rng(dim);
        const Rows data = make_rows(64 * 32 + 5, dim, rng, 23);
        for (const Metric metric : kMetrics) {
            BlockedRows rows(dim, metric == Metric::Cosine, BlockedRows::KeepRows::IncompleteGroup);
            for (const auto& x : data) ASSERT_TRUE(rows.append(x.data()));
            PruningCopy copy(dim, metric);
            ASSERT_TRUE(copy.update(rows));
            ASSERT_TRUE(copy.active());
            const MetricFn f = metric_function(metric);
            std::size_t checked = 0;
            for (const auto& q : make_queries(data, rng)) {
                PruningCopy::Query prepared;
                if (!copy.prepare(q, prepared)) continue;
                for (std::size_t id = 0; id < copy.groups() * 32; ++id) {
                    double exact = f(q, data[id]);
                    if (metric == Metric::Euclidean) {
                        // The squared sum the scan compares with its threshold.
                        exact = 0.0;
                        for (std::size_t j = 0; j < dim; ++j) exact += (q[j] - data[id][j]) * (q[j] - data[id][j]);
                    }
                    if (exact != exact) continue;  // a NaN value never bounds a search
                    std::size_t read = 0;
                    const double* norms = rows.norms() ? rows.norms() + id / 32 * 32 : nullptr;
                    const std::uint32_t live = copy.live(id / 32, prepared, exact, norms, read);
                    ASSERT_TRUE(live >> (id % 32) & 1u) << "dim " << dim << " metric " << int(metric) << " id " << id;
                    ++checked;
                }
            }
            EXPECT_GT(checked, 6 * 64 * 32u);
        }
    }
}

// The bound bites where the data allow it: on low-rank data a search reads
// a small part of what a plain scan reads.
TEST(PruningCopy, SearchesOnLowRankDataReadLittle) {
    const std::size_t dim = 256;
    std::mt19937_64 rng(3);
    const Rows data = make_rows(8192, dim, rng, 0);
    for (const Metric metric : kMetrics) {
        Flat index(dim, metric);
        std::vector<double> flat;
        for (const auto& x : data) flat.insert(flat.end(), x.begin(), x.end());
        std::size_t done = 0;
        ASSERT_FALSE(index.create(flat.data(), data.size(), dim, done));
        ASSERT_TRUE(index.pruning_copy().active());
        EXPECT_LE(index.pruning_copy().bytes(), data.size() * dim * sizeof(double) / 4);
        Flat::Reads reads;
        std::vector<ScoredId> got;
        const std::vector<double> q = make_rows(1, dim, rng, 0)[0];
        ASSERT_FALSE(index.search(q, 10, got, &reads));
        EXPECT_LT(reads.stored + reads.scattered + reads.copy, data.size() * dim * sizeof(double) / 3) << int(metric);
    }
}

// Gaussian data give the bound nothing to bite on: the probe drops the copy.
TEST(PruningCopy, GaussianDataKeepNoCopy) {
    const std::size_t dim = 128;
    std::mt19937_64 rng(4);
    std::normal_distribution<double> gauss;
    std::vector<double> flat(4096 * dim);
    for (double& v : flat) v = gauss(rng);
    Flat index(dim, Metric::Euclidean);
    std::size_t done = 0;
    ASSERT_FALSE(index.create(flat.data(), 4096, dim, done));
    EXPECT_FALSE(index.pruning_copy().active());
}

// Inserts and creates of uneven sizes take the index through its first fit
// and refits; after each step every query gives the reference ranking.
TEST(PruningCopy, SearchesThroughTheCopyGiveTheReferenceRanking) {
    for (const std::size_t dim : {std::size_t{1}, std::size_t{33}, std::size_t{97}, std::size_t{785}}) {
        const std::size_t scale = dim > 100 ? 1 : 2;
        for (const Metric metric : kMetrics) {
            std::mt19937_64 rng(dim * 7 + static_cast<int>(metric));
            Flat index(dim, metric);
            Rows stored;
            bool copied = false;
            for (const std::size_t batch :
                 {1000 * scale, 1 * scale, 1100 * scale, 31 * scale, std::size_t{1}, 2100 * scale}) {
                const Rows rows = make_rows(batch, dim, rng, 241, stored.size());
                if (batch < 64) {
                    for (const auto& x : rows) ASSERT_FALSE(index.insert(x));
                } else {
                    std::vector<double> flat;
                    for (const auto& x : rows) flat.insert(flat.end(), x.begin(), x.end());
                    std::size_t done = 0;
                    ASSERT_FALSE(index.create(flat.data(), batch, dim, done));
                }
                stored.insert(stored.end(), rows.begin(), rows.end());
                copied |= index.pruning_copy().active();
                for (const auto& q : make_queries(stored, rng)) {
                    const auto ranking = reference_search(metric, stored, q, stored.size());
                    for (const std::size_t k :
                         {std::size_t{0}, std::size_t{1}, std::size_t{10}, std::size_t{100}, stored.size() + 3}) {
                        std::vector<ScoredId> got;
                        ASSERT_FALSE(index.search(q, k, got));
                        ASSERT_EQ(got.size(), std::min(k, ranking.size()));
                        for (std::size_t i = 0; i < got.size(); ++i) {
                            ASSERT_EQ(got[i].id, ranking[i].id) << "dim " << dim << " k " << k << " rank " << i;
                            ASSERT_TRUE(same_bits(got[i].distance, ranking[i].distance));
                        }
                    }
                }
            }
            if (dim > 64) {
                EXPECT_TRUE(copied) << "dim " << dim << " metric " << int(metric);
            }
        }
    }
}

}  // namespace
}  // namespace ombrix
