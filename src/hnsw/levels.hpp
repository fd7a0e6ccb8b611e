// Node levels: the level draw, each node's level, and how many nodes each
// layer admits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "hnsw/random.hpp"

namespace ombrix {

class Levels {
public:
    // nullopt only when the weight table (`layers` doubles) cannot be
    // allocated or its byte size does not fit a signed 64-bit count.
    static std::optional<Levels> make(std::uint64_t layers) noexcept;

    std::uint64_t layers() const noexcept { return layers_; }
    // A level drawn with weights exp(-j) over j < layers: one word of `rng`.
    std::uint64_t draw(RandomSource& rng) const noexcept;

    // Nodes stored (counted or not).
    std::size_t size() const noexcept { return levels_.size(); }
    std::uint64_t operator[](std::size_t id) const noexcept { return levels_[id]; }
    const std::uint64_t* data() const noexcept { return levels_.data(); }

    // Stored nodes admitted at `layer` (< layers): node 0 and every counted
    // taller one.
    std::uint64_t population(std::uint64_t layer) const noexcept {
        return 1 + (layer < taller_.size() ? taller_[layer] : 0);
    }
    // The highest level of any node but node 0 (0 while there is none),
    // counting a node stored but not yet counted.
    std::uint64_t highest() const noexcept { return taller_.empty() ? 0 : taller_.size() - 1; }

    // Stores the next node's level; it joins the populations only when
    // counted. On an exception nothing changed.
    void push(std::uint64_t level);
    // Adds the last stored node to the populations of its layers.
    void count_last() noexcept;
    // Drops the nodes from `nodes` on, none of them counted.
    void truncate(std::size_t nodes) noexcept;

private:
    struct FreeDeleter {
        void operator()(double* p) const noexcept { std::free(p); }
    };

    std::uint64_t layers_ = 0;
    std::unique_ptr<double, FreeDeleter> weights_;  // `layers` entries, entry j = exp(-j)
    std::uint64_t nonzero_weights_ = 0;             // entries past this prefix are exactly 0.0
    double weight_total_ = 0.0;                     // sum of all weights, in index order
    std::vector<std::uint64_t> levels_;             // one per node; its length is the node count
    // taller_[l]: counted nodes other than node 0 whose level is >= l. Its
    // length is the highest such level + 1 (levels stay below ~746, where the
    // weights reach 0.0), so a huge `layers` costs nothing here.
    std::vector<std::uint64_t> taller_;
};

}  // namespace ombrix
