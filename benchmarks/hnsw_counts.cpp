// Counts metric evaluations of the graph index and compares build and search
// time with count x the cost of one distance.
//
//   hnsw_counts [N=10000] [dim=128] [queries=200]
//
// Runs on the core directly (no Python), default parameters, Gaussian data
// from a fixed seed, for each metric.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "metrics/metrics.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct SeededSource final : ombrix::RandomSource {
    std::mt19937_64 engine{12345};
    std::uint64_t next_u64() noexcept override { return engine(); }
};

std::vector<double> gaussian(std::size_t count, std::mt19937_64& engine) {
    std::normal_distribution<double> normal;
    std::vector<double> values(count);
    for (double& v : values) v = normal(engine);
    return values;
}

// Seconds per distance when scoring many stored vectors in batches, as a
// graph pass does (the vectors are far apart in memory there, so this is a
// lower bound).
double seconds_per_distance(ombrix::Metric metric, const std::vector<double>& data, std::size_t n,
                            std::size_t dim, const std::vector<double>& norms) {
    const std::vector<double> query(data.begin(), data.begin() + dim);
    const ombrix::PreparedQuery prepared = ombrix::prepare_query(metric, query, dim);
    std::vector<double> out(n);
    double sink = 0.0;
    const int rounds = 20;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        ombrix::score_contiguous(prepared, data.data(), dim, norms.empty() ? nullptr : norms.data(), n,
                                 out.data());
        sink += out[static_cast<std::size_t>(r) % n];
    }
    const double elapsed = seconds_since(start);
    if (sink == 42.0) std::puts("");
    return elapsed / (rounds * static_cast<double>(n));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
    const std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    const std::size_t queries = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200;

    std::mt19937_64 engine(7);
    const std::vector<double> data = gaussian(n * dim, engine);
    const std::vector<double> query_data = gaussian(queries * dim, engine);

    std::printf("N=%zu dim=%zu queries=%zu, defaults (layers 5, ef_construction 200, ef_search 50)\n", n, dim,
                queries);
    std::printf("%-14s %10s %12s %12s %10s %12s %12s %10s\n", "metric", "build s", "evals/insert",
                "predicted s", "ratio", "evals/query", "query us", "ratio");
    const std::pair<const char*, ombrix::Metric> metrics[] = {{"euclidean", ombrix::Metric::Euclidean},
                                                              {"angular", ombrix::Metric::Cosine},
                                                              {"inner_product", ombrix::Metric::InnerProduct}};
    for (const auto& [name, metric] : metrics) {
        std::vector<double> norms;
        if (metric == ombrix::Metric::Cosine)
            for (std::size_t i = 0; i < n; ++i)
                norms.push_back(std::sqrt(ombrix::squared_norm({data.data() + i * dim, dim})));
        const double per_distance = seconds_per_distance(metric, data, n, dim, norms);

        auto graph = ombrix::HNSW::make({dim, 5, 16, 200, 50, metric, std::nullopt});
        if (!graph) return 1;
        SeededSource source;
        auto start = Clock::now();
        for (std::size_t i = 0; i < n; ++i)
            if (graph->insert({data.data() + i * dim, dim}, nullptr, source)) return 1;
        const double build = seconds_since(start);
        const std::uint64_t build_evals = graph->distance_evaluations();

        std::vector<ombrix::ScoredId> out;
        start = Clock::now();
        for (std::size_t q = 0; q < queries; ++q)
            if (graph->search({query_data.data() + q * dim, dim}, 10, nullptr, out)) return 1;
        const double search = seconds_since(start) / static_cast<double>(queries);
        const double query_evals =
            static_cast<double>(graph->distance_evaluations() - build_evals) / static_cast<double>(queries);

        const double insert_evals = static_cast<double>(build_evals) / static_cast<double>(n);
        const double predicted_build = static_cast<double>(build_evals) * per_distance;
        const double predicted_search = query_evals * per_distance;
        std::printf("%-14s %10.2f %12.0f %12.2f %10.2f %12.0f %12.1f %10.2f\n", name, build, insert_evals,
                    predicted_build, build / predicted_build, query_evals, search * 1e6,
                    search / predicted_search);
    }
    std::printf("ratio = measured time / (evaluations x seconds per distance in a contiguous scan)\n");
    return 0;
}
