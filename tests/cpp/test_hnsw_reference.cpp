// The graph against a literal model of the single flat adjacency list
// (duplicates and self-links included), and the rollback of inserts that run
// out of memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw_test_support.hpp"
#include "metrics/reference.hpp"

namespace {
// > 0: the allocation that brings it to 0 throws.
std::atomic<long> g_fail_countdown{0};
}  // namespace

// Paired with the malloc-based operator new below.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (g_fail_countdown.load(std::memory_order_relaxed) > 0 && g_fail_countdown.fetch_sub(1) == 1)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The nothrow form (std::stable_sort's buffer) must come from malloc too, or
// a sanitizer sees its own allocation released by free().
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace ombrix {
namespace {

using namespace testing_support;

bool goes_before(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

// One `neighbors` array whose tails move on every back-link, a hash-set of
// visited nodes, each distance computed before the visited test. `fresh`
// counts the evaluations of nodes not visited before, which are the only ones
// a traversal needs.
class FlatModel {
public:
    explicit FlatModel(const HNSWParams& p) : p_(p), metric_(metric_function(p.metric)) {
        for (std::uint64_t j = 0; j < p.layers; ++j) weights_.push_back(std::exp(-static_cast<double>(j)));
    }

    std::vector<std::uint64_t> list(std::uint64_t id) const {
        const std::uint64_t end = id + 1 < levels_.size() ? offsets_[id + 1] : neighbors_.size();
        return {neighbors_.begin() + offsets_[id], neighbors_.begin() + end};
    }
    std::uint64_t level(std::uint64_t id) const { return levels_[id]; }
    // The list as the graph keeps it: first occurrences, no self-link.
    std::vector<std::uint64_t> deduplicated(std::uint64_t id) const {
        std::vector<std::uint64_t> out;
        for (std::uint64_t n : list(id))
            if (n != id && std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
        return out;
    }
    mutable std::uint64_t fresh = 0;

    void insert(std::span<const double> v, const MetadataRow* row, RandomSource& rng) {
        const bool first = levels_.empty();
        const std::uint64_t level = first ? p_.layers - 1 : draw(rng);
        const std::uint64_t x = levels_.size();
        data_.insert(data_.end(), v.begin(), v.end());
        levels_.push_back(level);
        offsets_.push_back(neighbors_.size());
        rows_.push_back(row ? std::optional(*row) : std::nullopt);
        if (first) return;
        std::uint64_t e = 0;
        for (std::uint64_t j = 0; j < p_.layers; ++j) {
            if (j < level) {
                e = knn(e, v, 1, j, nullptr, 0).front().id;
                continue;
            }
            std::vector<std::uint64_t> connections;
            for (const ScoredId& r : knn(e, v, p_.ef_construction, j, nullptr, 0)) {
                connections.push_back(r.id);
                const std::uint64_t end = r.id + 1 < levels_.size() ? offsets_[r.id + 1] : neighbors_.size();
                neighbors_.insert(neighbors_.begin() + end, x);
                for (std::uint64_t n = r.id + 1; n < levels_.size(); ++n) ++offsets_[n];
            }
            neighbors_.insert(neighbors_.end(), connections.begin(), connections.end());
            e = x;
        }
    }

    std::vector<ScoredId> knn(std::uint64_t entry, std::span<const double> q, std::uint64_t ef, std::uint64_t layer,
                              const Filter* f, std::size_t pos) const {
        const double d = metric_(q, vec(entry));
        ++fresh;
        std::vector<ScoredId> result{{d, entry}}, candidates{{d, entry}};
        std::unordered_set<std::uint64_t> visited{entry};
        while (!candidates.empty()) {
            auto best = candidates.begin();
            for (auto it = candidates.begin(); it != candidates.end(); ++it)
                if (goes_before(it->distance, best->distance) ||
                    (!goes_before(best->distance, it->distance) && it->id < best->id))
                    best = it;
            const ScoredId c = *best;
            candidates.erase(best);
            const double last = result.back().distance;
            if (!std::isnan(last) && (last < c.distance || std::isnan(c.distance))) break;
            for (std::uint64_t n : list(c.id)) {
                if (levels_[n] < layer || (f && !passes(*f, pos, n))) continue;
                const double dist = metric_(q, vec(n));
                if (!visited.insert(n).second) continue;
                ++fresh;
                if (result.size() < ef || dist < result.back().distance) {
                    candidates.push_back({dist, n});
                    std::size_t smaller = 0, equal = 0;
                    for (const ScoredId& r : result) {
                        if (goes_before(r.distance, dist)) ++smaller;
                        else if (!goes_before(dist, r.distance)) ++equal;
                    }
                    result.insert(result.begin() + (equal ? smaller + equal - 1 : smaller), {dist, n});
                    if (result.size() > ef) result.pop_back();
                }
            }
        }
        return result;
    }

    std::vector<ScoredId> search(std::span<const double> q, std::uint64_t k, const Filter* f) const {
        const std::size_t pos =
            f ? std::find(p_.schema->begin(), p_.schema->end(), f->attribute) - p_.schema->begin() : 0;
        std::uint64_t e = 0;
        for (std::uint64_t l = p_.layers - 1; l >= 1; --l) e = knn(e, q, 1, l, f, pos).front().id;
        std::vector<ScoredId> r = knn(e, q, p_.ef_search, 0, f, pos);
        if (f) std::erase_if(r, [&](const ScoredId& s) { return !passes(*f, pos, s.id); });
        if (r.size() > k) r.resize(k);
        return r;
    }

private:
    std::uint64_t draw(RandomSource& rng) const {
        double total = 0.0, running = 0.0;
        for (double w : weights_) total += w;
        const double threshold = total * (static_cast<double>(rng.next_u64() >> 11) * 0x1p-53);
        for (std::uint64_t j = 0; j < weights_.size(); ++j)
            if ((running += weights_[j]) > threshold) return j;
        return p_.layers - 1;
    }
    std::span<const double> vec(std::uint64_t id) const { return {data_.data() + id * p_.dim, p_.dim}; }
    bool passes(const Filter& f, std::size_t pos, std::uint64_t id) const {
        return rows_[id] && pos < rows_[id]->size() && (*f.predicate)((*rows_[id])[pos]);
    }

    HNSWParams p_;
    MetricFn metric_;
    std::vector<double> weights_, data_;
    std::vector<std::uint64_t> neighbors_, offsets_, levels_;
    std::vector<std::optional<MetadataRow>> rows_;
};

struct Scenario {
    Metric metric;
    std::uint64_t dim, layers, ef_construction;
    // Coordinates of +-1e300 and +-inf: distances of +-inf, NaN, and many
    // equal ones at every end of a result list.
    bool extreme = false;
    friend void PrintTo(const Scenario& s, std::ostream* os) {
        *os << "metric " << static_cast<int>(s.metric) << ", dim " << s.dim << ", layers " << s.layers
            << ", ef_construction " << s.ef_construction << (s.extreme ? ", extreme values" : "");
    }
};

// Small integer coordinates give many equal distances (and, under cosine,
// zero vectors with NaN distances); dim 70 reaches the early-exit checks.
std::vector<double> random_vector(std::uint64_t& state, std::size_t n, bool coarse, bool extreme = false) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    static constexpr double kExtreme[] = {-kInf, -1e300, -1.0, -0.0, 0.0, 0.5, 1.0, 1e300, kInf};
    std::vector<double> v(n);
    for (double& x : v) {
        const std::uint64_t r = splitmix64(state);
        if (extreme) x = r % 8 == 0 ? kExtreme[r / 8 % 9] : static_cast<double>(r % 3) - 1.0;
        else x = coarse ? static_cast<double>(r % 5) - 2.0 : static_cast<double>(r % 2001) / 1000.0 - 1.0;
    }
    return v;
}

class AgainstFlatModel : public ::testing::TestWithParam<Scenario> {};

// Both traversals of the graph give the model's levels, lists (less the
// repeats), results and, in full, its count of fresh evaluations.
TEST_P(AgainstFlatModel, SameListsAndSameResults) {
    const Scenario s = GetParam();
    const bool coarse = s.dim < 10;
    const HNSWParams params{s.dim, s.layers, 16, s.ef_construction, 12, s.metric, Schema{"color", "size"}};
    HNSW full = HNSW::make(params).value(), shortcut = HNSW::make(params).value();
    full.set_traversal(Traversal::Full);
    FlatModel model(params);
    std::uint64_t state = s.dim * 31 + s.layers + s.ef_construction;
    // Every seventh node gets a forced level, reaching past the kept sub-lists
    // when there are enough layers.
    std::vector<std::uint64_t> words;
    for (std::uint64_t i = 0; i < 160; ++i)
        words.push_back(i % 7 == 6 ? word_for_level(s.layers, splitmix64(state) % s.layers) : splitmix64(state));
    FakeRandom full_rng(words), shortcut_rng(words), model_rng(words);

    std::vector<std::vector<double>> stored;
    for (std::uint64_t i = 0; i < 160; ++i) {
        std::vector<double> v =
            i % 11 == 10 ? stored[splitmix64(state) % i] : random_vector(state, s.dim, coarse, s.extreme);
        if (i % 17 == 5) std::fill(v.begin(), v.end(), 0.0);
        stored.push_back(v);
        const MetadataRow row{{static_cast<std::int64_t>(splitmix64(state) % 3)},
                              i % 2 ? Metadata{1.0} : Metadata{std::int64_t{1}}};
        const MetadataRow* r = i % 7 == 3 ? nullptr : &row;
        ASSERT_FALSE(full.insert(v, r, full_rng));
        ASSERT_FALSE(shortcut.insert(v, r, shortcut_rng));
        model.insert(v, r, model_rng);
    }
    EXPECT_EQ(full.work_counts().evaluations, model.fresh);
    EXPECT_LE(shortcut.work_counts().evaluations, model.fresh);
    for (std::uint64_t id = 0; id < 160; ++id) {
        ASSERT_EQ(full.level(id), model.level(id)) << id;
        ASSERT_EQ(shortcut.level(id), model.level(id)) << id;
        ASSERT_EQ(full.neighbors(id), model.deduplicated(id)) << id;
        ASSERT_EQ(shortcut.neighbors(id), model.deduplicated(id)) << id;
    }

    // "size" 1.0 fails node 0 (its size is the integer 1) and every node
    // without a row.
    const Filter by_color{"color", make_equality_predicate({std::int64_t{1}})};
    const Filter by_size{"size", make_equality_predicate({1.0})};
    const Filter* filters[] = {nullptr, &by_color, &by_size};
    std::vector<ScoredId> out;
    for (int i = 0; i < 30; ++i) {
        const std::vector<double> q = random_vector(state, s.dim + (i % 3) - 1, coarse, s.extreme);
        const Filter* f = filters[i % 3];
        const std::uint64_t k = 1 + i % 14;
        model.fresh = 0;
        const std::vector<ScoredId> expected = model.search(q, k, f);
        for (HNSW* g : {&full, &shortcut}) {
            const std::uint64_t before = g->work_counts().evaluations;
            ASSERT_FALSE(g->search(q, k, f, out));
            EXPECT_TRUE(same(out, expected)) << "query " << i;
            if (g == &full) {
                EXPECT_EQ(g->work_counts().evaluations - before, model.fresh) << "query " << i;
            }
        }

        const std::uint64_t entry = splitmix64(state) % 160, layer = splitmix64(state) % s.layers;
        const std::uint64_t ef = std::uint64_t{1} << (i % 7);
        model.fresh = 0;
        const std::vector<ScoredId> expected_knn = model.knn(entry, q, ef, layer, f, f == &by_size);
        for (HNSW* g : {&full, &shortcut}) {
            const std::uint64_t before = g->work_counts().evaluations;
            ASSERT_FALSE(g->knn(entry, q, ef, layer, f, out));
            EXPECT_TRUE(same(out, expected_knn)) << "knn " << i;
            EXPECT_EQ(g->work_counts().evaluations - before, model.fresh) << "knn " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AgainstFlatModel, ::testing::ValuesIn([] {
                             std::vector<Scenario> all;
                             for (Metric m : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine})
                                 for (std::uint64_t dim : {6u, 70u}) {
                                     all.push_back({m, dim, 1, 8});
                                     all.push_back({m, dim, 2, 5});
                                     all.push_back({m, dim, 4, 6});
                                     all.push_back({m, dim, 8, 4});
                                     all.push_back({m, dim, 20, 3});
                                     all.push_back({m, dim, 3, 500});  // every pass takes its whole layer
                                 }
                             for (Metric m : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
                                 all.push_back({m, 70, 2, 40});  // long results: offers in full batches
                                 for (std::uint64_t ef : {3u, 20u}) all.push_back({m, 6, 3, ef, true});
                             }
                             return all;
                         }()));

// Snapshot of everything an insert may touch, rows through a filtered search.
struct Snapshot {
    std::vector<std::vector<std::uint64_t>> lists;
    std::vector<std::uint64_t> levels;
    std::vector<double> values;
    std::vector<std::uint64_t> matches;
    std::vector<std::vector<std::uint64_t>> holders;  // of each tag value, by the equality index
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const HNSW& g, const Filter& f) {
    Snapshot s;
    for (std::uint64_t id = 0; id < g.size(); ++id) {
        s.lists.push_back(g.neighbors(id));
        s.levels.push_back(g.level(id));
        s.values.insert(s.values.end(), g.vector(id).begin(), g.vector(id).end());
    }
    std::vector<ScoredId> out;
    EXPECT_FALSE(g.search(std::vector<double>{0.5, 0.5, 0.5}, 50, &f, out));
    s.matches = ids(out);
    for (int tag = 0; tag < 3; ++tag)
        s.holders.push_back(g.nodes_holding(0, {std::string("a long enough tag value ") + std::to_string(tag)}));
    return s;
}

// Levels follow the node count, so a failed attempt does not shift them.
class LevelByCount final : public RandomSource {
public:
    explicit LevelByCount(const HNSW& g) : g_(g) {
        for (std::uint64_t level = 0; level < 3; ++level) words_[level] = word_for_level(3, level);
    }
    std::uint64_t next_u64() noexcept override { return words_[(g_.size() * 5 / 3) % 3]; }

private:
    const HNSW& g_;
    std::uint64_t words_[3];
};

TEST(HNSWMemory, InsertThatRunsOutOfMemoryChangesNothing) {
    for (Metric metric : {Metric::Euclidean, Metric::Cosine}) {
        const HNSWParams params{3, 3, 16, 6, 50, metric, Schema{"tag"}};
        HNSW graph = HNSW::make(params).value(), twin = HNSW::make(params).value();
        LevelByCount graph_rng(graph), twin_rng(twin);
        const Filter f{"tag", make_equality_predicate({std::string("a long enough tag value 1")})};
        std::uint64_t state = 7;
        // Past 64 nodes, so that tags 0 and 1 complete groups of their rows'
        // copies too.
        for (int i = 0; i < 70; ++i) {
            const std::vector<double> v = random_vector(state, 3, false);
            // Tag 2 first appears late, at a node whose insert may fail.
            const MetadataRow row{{std::string("a long enough tag value ") + std::to_string(i == 20 ? 2 : i % 2)}};
            const Snapshot before = snapshot(graph, f);
            for (long fail_at = 1;; ++fail_at) {
                g_fail_countdown = fail_at;
                const auto error = graph.insert(v, &row, graph_rng);
                g_fail_countdown = 0;
                if (!error) break;
                ASSERT_EQ(*error, HNSWError::OutOfMemory);
                ASSERT_EQ(snapshot(graph, f), before) << "node " << i << ", allocation " << fail_at;
            }
            ASSERT_FALSE(twin.insert(v, &row, twin_rng));
        }
        EXPECT_EQ(snapshot(graph, f), snapshot(twin, f));
    }
}

}  // namespace
}  // namespace ombrix
