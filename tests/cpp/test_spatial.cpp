// The spatial store and its search: box bounds never above a computed value,
// and a search that skips boxes giving the reference ranking bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "flat/flat.hpp"
#include "flat/spatial_search.hpp"
#include "flat_test_support.hpp"
#include "metrics/reference.hpp"

namespace ombrix {
namespace {

using namespace flat_test;

// The value the scan computes, in the domain box_bound speaks (Euclidean:
// the squared sum).
double computed_value(Metric metric, const std::vector<double>& q, const double* x, std::size_t dim) {
    if (metric == Metric::Euclidean) {
        double s = 0.0;
        for (std::size_t j = 0; j < dim; ++j) s += (q[j] - x[j]) * (q[j] - x[j]);
        return s;
    }
    return metric_function(metric)(q, {x, dim});
}

// Points of one magnitude (with subnormals and signed zeros among them) and
// corners of their box; every bound of their box against every point. The
// first trials' boxes are single points or nearly (the cosine bound by
// directions is then within rounding of the value: its margin is attacked).
TEST(BoxBound, NeverAboveTheComputedValue) {
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 9);
    const double scales[] = {1e-300, 1e-160, 5e-324 * 64, 1e-3, 1.0, 1e150, 1e300};
    for (std::size_t dim = 1; dim <= 32; dim += dim < 16 ? 1 : 16)
        for (const double scale : scales)
            for (int trial = 0; trial < 6; ++trial) {
                const std::size_t n = 12;
                std::vector<double> points(n * dim);
                for (double& x : points) {
                    const int p = pick(rng);
                    x = p == 0 ? 0.0 : p == 1 ? -0.0 : p == 2 ? 5e-324 * (pick(rng) - 5) : unit(rng) * scale;
                }
                // A constant coordinate, and points on the box's corners.
                for (std::size_t r = 0; r < n; ++r) points[r * dim + dim / 2] = points[dim / 2];
                if (trial < 2)
                    for (std::size_t i = dim; i < n * dim; ++i)
                        points[i] = trial == 0 ? points[i % dim] : std::nextafter(points[i % dim], points[i]);
                std::vector<double> box(2 * dim);
                for (std::size_t j = 0; j < dim; ++j) {
                    box[j] = kInf;
                    box[dim + j] = -kInf;
                    for (std::size_t r = 0; r < n; ++r) {
                        box[j] = std::min(box[j], points[r * dim + j]);
                        box[dim + j] = std::max(box[dim + j], points[r * dim + j]);
                    }
                }
                for (std::size_t j = 0; j < dim; ++j) points[(n - 1) * dim + j] = box[(j % 2) * dim + j];
                double norms[2] = {kInf, -kInf};
                for (std::size_t r = 0; r < n; ++r) {
                    const double norm = std::sqrt(squared_norm({&points[r * dim], dim}));
                    norms[0] = std::min(norms[0], norm);
                    norms[1] = std::max(norms[1], norm);
                }
                for (int qi = 0; qi < 8; ++qi) {
                    std::vector<double> q(dim);
                    const double qscale = scales[pick(rng) % 7];
                    for (double& x : q) x = pick(rng) == 0 ? -0.0 : unit(rng) * qscale;
                    if (qi == 0) q.assign(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(dim));
                    if (qi == 1)
                        for (std::size_t j = 0; j < dim; ++j) q[j] = -points[j] * 3.0;
                    for (const Metric metric : kMetrics) {
                        const PreparedQuery prepared = prepare_query(metric, q, dim);
                        const double bound = box_bound(prepared, box.data(), dim, norms);
                        ASSERT_FALSE(std::isnan(bound));
                        for (std::size_t r = 0; r < n; ++r) {
                            const double value = computed_value(metric, q, &points[r * dim], dim);
                            ASSERT_FALSE(value < bound)
                                << "dim " << dim << " scale " << scale << " metric " << static_cast<int>(metric)
                                << " bound " << bound << " value " << value;
                        }
                    }
                }
            }
}

enum class Shape { AllEqual, Grid, Duplicates, Clustered, Uniform };

// `n` vectors of one shape; with `specials`, a few with NaN or infinities.
std::vector<double> shaped_rows(Shape shape, std::size_t n, std::size_t dim, std::mt19937_64& rng, bool specials) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> gauss;
    std::uniform_int_distribution<int> small(-3, 3);
    std::vector<double> rows(n * dim);
    std::vector<double> centre(dim);
    for (std::size_t r = 0; r < n; ++r) {
        if (shape == Shape::Clustered && r % 50 == 0)
            for (double& c : centre) c = 20.0 * unit(rng);
        for (std::size_t j = 0; j < dim; ++j) {
            double& x = rows[r * dim + j];
            switch (shape) {
                case Shape::AllEqual: x = 0.5; break;
                case Shape::Grid: x = j == 0 ? small(rng) : (j == 1 ? small(rng) : 0.0); break;
                case Shape::Duplicates: x = static_cast<double>((r * 7919) % 13) * (j + 1.0); break;
                case Shape::Clustered: x = centre[j] + 0.1 * gauss(rng); break;
                case Shape::Uniform: x = unit(rng) * (j % 2 ? 1e-300 : (j % 4 == 2 ? -1e300 : 1.0)); break;
            }
        }
        if (specials && r % 97 == 5) rows[r * dim + r % dim] = r % 3 == 0 ? kNaN : (r % 3 == 1 ? kInf : -kInf);
    }
    return rows;
}

struct SpatialCase {
    Metric metric;
    std::size_t dim;
};

class SpatialAgainstReference : public ::testing::TestWithParam<SpatialCase> {};

// Interleaved inserts and creates over a small tail limit, so that the rows
// are spread over several runs, a tail and the rows apart; ties at the k-th
// value have smaller ids in other leaves and runs.
TEST_P(SpatialAgainstReference, GivesTheReferenceRanking) {
    const auto [metric, dim] = GetParam();
    for (const Shape shape : {Shape::AllEqual, Shape::Grid, Shape::Duplicates, Shape::Clustered, Shape::Uniform}) {
        std::mt19937_64 rng(dim * 131 + static_cast<int>(metric) * 7 + static_cast<int>(shape));
        Flat index(dim, metric, 64);
        std::vector<std::vector<double>> stored;
        // Batches of 1 and 150 are inserted row by row: their runs take the
        // grid order, and merges mix them with the k-d runs creates make.
        for (const std::size_t batch : {1, 700, 150, 1, 1, 33, 90, 1, 2000, 150, 5}) {
            const std::vector<double> rows =
                shaped_rows(shape, batch, dim, rng, batch == 90 || batch == 2000 || batch == 150);
            if (batch == 1 || batch == 150) {
                for (std::size_t r = 0; r < batch; ++r) ASSERT_FALSE(index.insert({rows.data() + r * dim, dim}));
            } else {
                std::size_t done = 0;
                ASSERT_FALSE(index.create(rows.data(), batch, dim, done));
            }
            for (std::size_t r = 0; r < batch; ++r)
                stored.emplace_back(rows.begin() + static_cast<std::ptrdiff_t>(r * dim),
                                    rows.begin() + static_cast<std::ptrdiff_t>((r + 1) * dim));
            ASSERT_EQ(index.size(), stored.size());
            if (batch == 1) continue;
            for (int qi = 0; qi < 6; ++qi) {
                std::vector<double> q = qi < 3 ? stored[rng() % stored.size()] : shaped_rows(shape, 1, dim, rng, false);
                if (qi == 5) q[0] = qi % 2 ? kNaN : kInf;
                if (qi == 4) q[dim - 1] = -kInf;
                for (const std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, std::size_t{65},
                                            stored.size() - 1, stored.size() + 3}) {
                    std::vector<ScoredId> got;
                    ASSERT_FALSE(index.search(q, k, got));
                    const std::vector<ScoredId> want = reference_search(metric, stored, q, k);
                    ASSERT_EQ(got.size(), want.size());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].id, want[i].id)
                            << "shape " << static_cast<int>(shape) << " k " << k << " rank " << i;
                        ASSERT_TRUE(same_bits(got[i].distance, want[i].distance)) << "rank " << i;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndDims, SpatialAgainstReference,
                         ::testing::Values(SpatialCase{Metric::Euclidean, 1}, SpatialCase{Metric::Euclidean, 2},
                                           SpatialCase{Metric::Euclidean, 3}, SpatialCase{Metric::Euclidean, 16},
                                           SpatialCase{Metric::Euclidean, 24}, SpatialCase{Metric::InnerProduct, 2},
                                           SpatialCase{Metric::InnerProduct, 5}, SpatialCase{Metric::Cosine, 3},
                                           SpatialCase{Metric::Cosine, 8}));

// Scanning every leaf (what a query with a NaN takes), skipping boxes, and
// turning from boxes to a scan midway give the same, from a store organised
// into several runs.
TEST(SpatialSearch, BoxesAndFullScanAgree) {
    std::mt19937_64 rng(7);
    for (const Metric metric : kMetrics) {
        SpatialStore store(3, metric == Metric::Cosine, 32);
        for (int step = 0; step < 40; ++step) {
            const std::vector<double> rows = shaped_rows(Shape::Clustered, 37, 3, rng, step % 7 == 0);
            ASSERT_TRUE(store.reserve(rows.data(), 37));
            store.append(rows.data(), 37);
            store.organise();
        }
        ASSERT_GT(store.runs().size(), 1u);
        for (int qi = 0; qi < 20; ++qi) {
            const std::vector<double> q = shaped_rows(Shape::Grid, 1, 3, rng, false);
            const PreparedQuery prepared = prepare_query(metric, q, 3);
            std::vector<ScoredId> scan;
            ASSERT_TRUE(spatial_search(store, prepared, 20, SpatialPlan::Scan, scan));
            for (const SpatialPlan plan : {SpatialPlan::Boxes, SpatialPlan::BoxesThenScan}) {
                std::vector<ScoredId> got;
                ASSERT_TRUE(spatial_search(store, prepared, 20, plan, got));
                ASSERT_EQ(got.size(), scan.size());
                for (std::size_t i = 0; i < got.size(); ++i) {
                    ASSERT_EQ(got[i].id, scan[i].id);
                    ASSERT_TRUE(same_bits(got[i].distance, scan[i].distance));
                }
            }
        }
    }
}

}  // namespace
}  // namespace ombrix
