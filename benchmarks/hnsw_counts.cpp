// Counts the graph index's work and compares build and search time with the
// floor: distance evaluations x the cost of one distance in a contiguous scan.
// An evaluation is a distance the traversal takes; "scored" counts the metric
// evaluations made, each distance once per insert or search, or every node's
// up front in one streaming pass.
//
//   hnsw_counts [--json] [--full] [N=10000] [dim=128] [queries=200] [metric ...]
//
// Each metric's graph is built twice from the same data and level draws:
// without a schema (unfiltered searches), and with the schema ["label",
// "tag"], node i holding the integers i % 10 and i % 100, for filtered
// searches that admit 10 % and 1 % of the nodes (query q asks for label
// q % 10, or tag q % 100).
//
// Runs on the core directly (no Python), default parameters, Gaussian data and
// level draws from fixed seeds, for each metric ("euclidean", "angular",
// "inner_product"; all three when none is named). Two builds of the core fed
// the same data make the same levels, traversals and results, so their
// evaluation counts and result checksums must match; --json prints one object
// per metric for benchmarks/bench_hnsw.py; --full runs every pass to its end
// (the traversal as defined, without the shortcuts that cannot change it).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "hnsw/hnsw.hpp"
#include "metrics/metrics.hpp"
// The page allocator, wherever the core being measured keeps it.
#if __has_include("storage/page_buffer.hpp")
#include "storage/page_buffer.hpp"
#define HNSW_COUNTS_SPARE_PAGES 1
#elif __has_include("metrics/page_buffer.hpp")
#include "metrics/page_buffer.hpp"
#define HNSW_COUNTS_SPARE_PAGES 1
#endif

namespace {

// CPU time of this process: on a shared machine it leaves out the time other
// programs hold the core.
struct Clock {
    using time_point = double;
    static double now() {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }
};

double seconds_since(double start) { return Clock::now() - start; }

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

// Bytes allocated and in use, on the heap or mapped on their own (0 where
// the C library cannot tell). Spare pages kept for reuse go back first.
double heap_in_use() {
#if defined(HNSW_COUNTS_SPARE_PAGES)
    ombrix::release_spare_pages();
#endif
#if defined(__GLIBC__)
    const auto info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
#else
    return 0.0;
#endif
}

// Seconds per distance when scoring stored vectors 16 at a time from one
// contiguous run, the cheapest way to read them.
double seconds_per_distance(ombrix::Metric metric, const std::vector<double>& data, std::size_t n, std::size_t dim,
                            const std::vector<double>& norms) {
    const std::vector<double> query(data.begin(), data.begin() + dim);
    const ombrix::PreparedQuery prepared = ombrix::prepare_query(metric, query, dim);
    std::vector<double> out(n);
    double sink = 0.0, best = 0.0;
    const int rounds = 10;
    // The fastest of several tries: the machine is shared.
    for (int attempt = 0; attempt < 7; ++attempt) {
        const auto start = Clock::now();
        for (int r = 0; r < rounds; ++r) {
            ombrix::score_contiguous(prepared, data.data(), dim, norms.empty() ? nullptr : norms.data(), n, out.data());
            sink += out[static_cast<std::size_t>(r) % n];
        }
        const double elapsed = seconds_since(start);
        if (attempt == 0 || elapsed < best) best = elapsed;
    }
    if (sink == 42.0) std::puts("");
    return best / (rounds * static_cast<double>(n));
}

std::uint64_t mix(std::uint64_t h, std::uint64_t v) { return (h ^ v) * 0x100000001B3ULL; }

// Runs every pass in full, where the core offers the choice (--full).
template <class Graph>
void use_full_traversal(Graph& g) {
#if !defined(HNSW_COUNTS_BASELINE)
    g.set_traversal(ombrix::Traversal::Full);
#else
    (void)g;  // a core from before the choice existed
#endif
}

// Entries scanned and expansions, from a core that counts them (-1 otherwise).
template <class Graph>
std::pair<double, double> scan_counts(const Graph& g) {
    if constexpr (requires { g.work_counts(); }) {
        const auto counts = g.work_counts();
        return {static_cast<double>(counts.entries_scanned), static_cast<double>(counts.expansions)};
    } else {
        return {-1.0, -1.0};
    }
}

// Metric evaluations made, from a core that tells them apart from the
// distances taken (the same otherwise: every distance taken is scored).
template <class Graph>
std::uint64_t scored_count(const Graph& g) {
    if constexpr (requires { g.work_counts().scored; }) {
        return g.work_counts().scored;
    } else {
        return g.distance_evaluations();
    }
}

// The times and counts of one kind of search over the query set, and the
// checksum of every result (ids and distance bits).
struct Searches {
    double seconds = 0, evals = 0, scored = 0, scanned = 0, expansions = 0;
    std::uint64_t checksum = 0;
};

// Runs the queries (query q with filter_for(q)) three times: the time is the
// fastest round's (the machine is shared), the counts and checksum the first
// round's.
template <class Graph, class FilterFor>
Searches time_searches(const Graph& graph, const std::vector<double>& queries, std::size_t dim, FilterFor filter_for) {
    Searches r;
    const std::size_t query_count = queries.size() / dim;
    std::vector<ombrix::ScoredId> out;
    const auto [scanned_before, expansions_before] = scan_counts(graph);
    const std::uint64_t evals_before = graph.distance_evaluations(), scored_before = scored_count(graph);
    for (int round = 0; round < 3; ++round) {
        std::uint64_t checksum = 0xCBF29CE484222325ULL;
        const auto start = Clock::now();
        for (std::size_t q = 0; q < query_count; ++q) {
            if (graph.search({queries.data() + q * dim, dim}, 10, filter_for(q), out)) std::exit(1);
            for (const ombrix::ScoredId& s : out) {
                std::uint64_t bits;
                std::memcpy(&bits, &s.distance, sizeof bits);
                checksum = mix(mix(checksum, s.id), bits);
            }
        }
        const double seconds = seconds_since(start) / static_cast<double>(query_count);
        if (round == 0) {
            const double nq = static_cast<double>(query_count);
            const auto [scanned, expansions] = scan_counts(graph);
            r = {seconds,
                 static_cast<double>(graph.distance_evaluations() - evals_before) / nq,
                 static_cast<double>(scored_count(graph) - scored_before) / nq,
                 scanned < 0 ? -1 : (scanned - scanned_before) / nq,
                 expansions < 0 ? -1 : (expansions - expansions_before) / nq,
                 checksum};
        } else if (checksum != r.checksum) {
            std::exit(3);  // the same searches must give the same results
        }
        r.seconds = std::min(r.seconds, seconds);
    }
    return r;
}

struct Run {
    std::string metric;
    double build_s, search_s, per_distance, bytes_per_node;
    // evals: the distances the traversal takes; scored: the metric
    // evaluations made for them (a distance is scored once per operation, or
    // all up front).
    double insert_evals, insert_scored, insert_scanned, insert_expansions;
    double search_evals, search_scored, search_scanned, search_expansions;
    std::uint64_t checksum;
    // The build with a schema, and its filtered searches.
    double build_schema_s = 0, bytes_per_node_schema = 0;
    Searches filtered10{}, filtered1{};
};

Run run(const char* name, ombrix::Metric metric, const std::vector<double>& data, const std::vector<double>& queries,
        std::size_t n, std::size_t dim, bool full) {
    std::vector<double> norms;
    if (metric == ombrix::Metric::Cosine)
        for (std::size_t i = 0; i < n; ++i)
            norms.push_back(std::sqrt(ombrix::squared_norm({data.data() + i * dim, dim})));
    Run r{name, 0,
          0,    seconds_per_distance(metric, data, n, dim, norms),
          0,    0,
          0,    0,
          0,    0,
          0,    0,
          0,    0xCBF29CE484222325ULL};

    const double heap_before = heap_in_use();
    auto graph = ombrix::HNSW::make({dim, 5, 16, 200, 50, metric, std::nullopt});
    if (!graph) std::exit(1);
    if (full) use_full_traversal(*graph);
    SeededSource source;
    auto start = Clock::now();
    for (std::size_t i = 0; i < n; ++i)
        if (graph->insert({data.data() + i * dim, dim}, nullptr, source)) std::exit(1);
    r.build_s = seconds_since(start);
    r.bytes_per_node = (heap_in_use() - heap_before) / static_cast<double>(n);
    const std::uint64_t build_evals = graph->distance_evaluations();
    const std::uint64_t build_scored = scored_count(*graph);
    const auto [build_scanned, build_expansions] = scan_counts(*graph);

    const Searches unfiltered =
        time_searches(*graph, queries, dim, [](std::size_t) -> const ombrix::Filter* { return nullptr; });
    const double nn = static_cast<double>(n);
    r.insert_evals = static_cast<double>(build_evals) / nn;
    r.insert_scored = static_cast<double>(build_scored) / nn;
    r.insert_scanned = build_scanned >= 0 ? build_scanned / nn : -1;
    r.insert_expansions = build_scanned >= 0 ? build_expansions / nn : -1;
    r.search_s = unfiltered.seconds;
    r.search_evals = unfiltered.evals;
    r.search_scored = unfiltered.scored;
    r.search_scanned = unfiltered.scanned;
    r.search_expansions = unfiltered.expansions;
    r.checksum = unfiltered.checksum;
    graph.reset();

    // The same graph again, with a schema and a row per node.
    const double schema_heap_before = heap_in_use();
    auto labelled = ombrix::HNSW::make({dim, 5, 16, 200, 50, metric, ombrix::Schema{"label", "tag"}});
    if (!labelled) std::exit(1);
    if (full) use_full_traversal(*labelled);
    SeededSource labelled_source;
    start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        const ombrix::MetadataRow row{{static_cast<std::int64_t>(i % 10)}, {static_cast<std::int64_t>(i % 100)}};
        if (labelled->insert({data.data() + i * dim, dim}, &row, labelled_source)) std::exit(1);
    }
    r.build_schema_s = seconds_since(start);
    r.bytes_per_node_schema = (heap_in_use() - schema_heap_before) / static_cast<double>(n);
    std::vector<ombrix::Filter> labels, tags;
    for (std::int64_t v = 0; v < 10; ++v) labels.push_back({"label", ombrix::make_equality_predicate({v})});
    for (std::int64_t v = 0; v < 100; ++v) tags.push_back({"tag", ombrix::make_equality_predicate({v})});
    r.filtered10 = time_searches(*labelled, queries, dim, [&](std::size_t q) { return &labels[q % 10]; });
    r.filtered1 = time_searches(*labelled, queries, dim, [&](std::size_t q) { return &tags[q % 100]; });
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, full = false;
    std::vector<std::size_t> numbers;
    std::vector<std::pair<const char*, ombrix::Metric>> metrics;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") json = true;
        else if (arg == "--full") full = true;
        else if (auto m = ombrix::hnsw_metric_from_name(arg)) metrics.emplace_back(argv[i], *m);
        else numbers.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    const std::size_t n = numbers.size() > 0 ? numbers[0] : 10000;
    const std::size_t dim = numbers.size() > 1 ? numbers[1] : 128;
    const std::size_t queries = numbers.size() > 2 ? numbers[2] : 200;
    if (n == 0 || dim == 0 || queries == 0) return 2;
    if (metrics.empty())
        metrics = {{"euclidean", ombrix::Metric::Euclidean},
                   {"angular", ombrix::Metric::Cosine},
                   {"inner_product", ombrix::Metric::InnerProduct}};

    std::mt19937_64 engine(7);
    const std::vector<double> data = gaussian(n * dim, engine);
    const std::vector<double> query_data = gaussian(queries * dim, engine);

    if (!json) {
        std::printf("N=%zu dim=%zu queries=%zu, defaults (layers 5, ef_construction 200, ef_search 50)\n", n, dim,
                    queries);
        std::printf("%-14s %8s %10s %10s %11s %9s %6s %10s %10s %9s %9s %6s %9s %8s\n", "metric", "build s",
                    "evals/ins", "scored/ins", "scanned/ins", "exp/ins", "floor", "search us", "evals/q", "scored/q",
                    "scanned/q", "floor", "bytes/node", "checksum");
    }
    for (const auto& [name, metric] : metrics) {
        const Run r = run(name, metric, data, query_data, n, dim, full);
        const double build_floor = r.build_s / (r.insert_evals * static_cast<double>(n) * r.per_distance);
        const double search_floor = r.search_s / (r.search_evals * r.per_distance);
        if (json) {
            std::printf(
                "{\"metric\": \"%s\", \"n\": %zu, \"dim\": %zu, \"build_s\": %.6f, \"search_s\": %.9f, "
                "\"seconds_per_distance\": %.4e, \"bytes_per_node\": %.1f, "
                "\"insert_evals\": %.2f, \"insert_scored\": %.2f, \"insert_scanned\": %.2f, "
                "\"insert_expansions\": %.2f, \"search_evals\": %.2f, \"search_scored\": %.2f, "
                "\"search_scanned\": %.2f, \"search_expansions\": %.2f, \"checksum\": \"%016llx\", "
                "\"build_schema_s\": %.6f, \"bytes_per_node_schema\": %.1f",
                r.metric.c_str(), n, dim, r.build_s, r.search_s, r.per_distance, r.bytes_per_node, r.insert_evals,
                r.insert_scored, r.insert_scanned, r.insert_expansions, r.search_evals, r.search_scored,
                r.search_scanned, r.search_expansions, static_cast<unsigned long long>(r.checksum), r.build_schema_s,
                r.bytes_per_node_schema);
            for (const auto& [tag, f] : {std::pair{"filtered10", &r.filtered10}, std::pair{"filtered1", &r.filtered1}})
                std::printf(
                    ", \"%s_s\": %.9f, \"%s_evals\": %.2f, \"%s_scored\": %.2f, \"%s_scanned\": %.2f, "
                    "\"%s_expansions\": %.2f, \"%s_checksum\": \"%016llx\"",
                    tag, f->seconds, tag, f->evals, tag, f->scored, tag, f->scanned, tag, f->expansions, tag,
                    static_cast<unsigned long long>(f->checksum));
            std::printf("}\n");
        } else {
            std::printf("%-14s %8.2f %10.0f %10.0f %11.0f %9.1f %6.2f %10.1f %10.0f %9.0f %9.0f %6.2f %9.0f %016llx\n",
                        name, r.build_s, r.insert_evals, r.insert_scored, r.insert_scanned, r.insert_expansions,
                        build_floor, r.search_s * 1e6, r.search_evals, r.search_scored, r.search_scanned, search_floor,
                        r.bytes_per_node, static_cast<unsigned long long>(r.checksum));
            std::printf("%-14s %8.2f %43s %9.0f bytes/node with schema\n", "  with schema", r.build_schema_s, "",
                        r.bytes_per_node_schema);
            for (const auto& [tag, f] :
                 {std::pair{"  filter 10 %", &r.filtered10}, std::pair{"  filter 1 %", &r.filtered1}})
                std::printf("%-14s %59.1f %10.0f %9.0f %9.0f %6s %9s %016llx\n", tag, f->seconds * 1e6, f->evals,
                            f->scored, f->scanned, "", "", static_cast<unsigned long long>(f->checksum));
        }
        std::fflush(stdout);
    }
    if (!json)
        std::printf(
            "floor = measured time / (evaluations x seconds per distance in a contiguous scan); "
            "scored = metric evaluations made (once per node and operation, or all nodes up front); "
            "scanned = list entries read; -1 = not counted by this core\n");
    return 0;
}
