// Keeping the same-value lists beside the links, all or nothing.
#include "hnsw/value_links.hpp"

namespace ombrix {

void ValueLinks::add_node(NodeId x, const EqualityIndex& index) {
    std::size_t done = 0;
    try {
        for (; done < lists_.size(); ++done) lists_[done].emplace_back();
    } catch (...) {
        for (std::size_t a = 0; a < done; ++a) lists_[a].pop_back();
        throw;
    }
    // Within the capacity reserved at construction: no allocation.
    held_.clear();
    for (std::size_t a = 0; a < lists_.size(); ++a) {
        const std::uint32_t* values = index.value_numbers(a);
        if (values[x] != EqualityIndex::kNoValue) held_.push_back({a, values, values[x]});
    }
}

void ValueLinks::truncate(std::size_t nodes) noexcept {
    for (std::vector<std::vector<NodeId>>& lists : lists_)
        if (lists.size() > nodes) lists.erase(lists.begin() + static_cast<std::ptrdiff_t>(nodes), lists.end());
}

void ValueLinks::push_back_links(NodeId x, std::span<const NodeId> owners) {
    std::size_t attribute = 0, pushed = 0;
    try {
        for (; attribute < held_.size(); ++attribute) {
            const Held& h = held_[attribute];
            std::vector<std::vector<NodeId>>& lists = lists_[h.attribute];
            // The lists lie scattered and each is reached through its header:
            // fetch every header, then every list's end, then append.
            for (const NodeId o : owners)
                if (h.values[o] == h.value) __builtin_prefetch(&lists[o]);
            for (const NodeId o : owners)
                if (h.values[o] == h.value) __builtin_prefetch(lists[o].data() + lists[o].size(), 1);
            for (pushed = 0; pushed < owners.size(); ++pushed)
                if (h.values[owners[pushed]] == h.value) lists[owners[pushed]].push_back(x);
        }
    } catch (...) {
        for (std::size_t a = 0; a <= attribute && a < held_.size(); ++a) {
            const Held& h = held_[a];
            const std::size_t done = a < attribute ? owners.size() : pushed;
            for (std::size_t i = 0; i < done; ++i)
                if (h.values[owners[i]] == h.value) lists_[h.attribute][owners[i]].pop_back();
        }
        throw;
    }
}

void ValueLinks::fill_node(NodeId x, const std::vector<NodeId>& neighbours) {
    try {
        for (const Held& h : held_) {
            std::size_t count = 0;
            for (const NodeId n : neighbours) count += h.values[n] == h.value;
            std::vector<NodeId>& list = lists_[h.attribute][x];
            list.reserve(count);
            for (const NodeId n : neighbours)
                if (h.values[n] == h.value) list.push_back(n);
        }
    } catch (...) {
        for (const Held& h : held_) lists_[h.attribute][x].clear();
        throw;
    }
}

}  // namespace ombrix
