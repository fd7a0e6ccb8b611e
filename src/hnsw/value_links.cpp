// Keeping the same-value lists beside the links, all or nothing.
#include "hnsw/value_links.hpp"

namespace ombrix {

void ValueLinks::add_node() {
    std::size_t done = 0;
    try {
        for (; done < lists_.size(); ++done) lists_[done].emplace_back();
    } catch (...) {
        for (std::size_t a = 0; a < done; ++a) lists_[a].pop_back();
        throw;
    }
}

void ValueLinks::truncate(std::size_t nodes) noexcept {
    for (std::vector<std::vector<NodeId>>& lists : lists_)
        if (lists.size() > nodes) lists.erase(lists.begin() + static_cast<std::ptrdiff_t>(nodes), lists.end());
}

void ValueLinks::reserve(NodeId owner, NodeId target, const EqualityIndex& index) {
    for (std::size_t a = 0; a < lists_.size(); ++a) {
        if (!same(index.value_numbers(a), owner, target)) continue;
        std::vector<NodeId>& list = lists_[a][owner];
        if (list.size() == list.capacity()) list.reserve(list.capacity() < 4 ? 4 : 2 * list.capacity());
    }
}

void ValueLinks::push(NodeId owner, NodeId target, const EqualityIndex& index) noexcept {
    for (std::size_t a = 0; a < lists_.size(); ++a)
        if (same(index.value_numbers(a), owner, target)) lists_[a][owner].push_back(target);
}

void ValueLinks::remove_last(NodeId owner, NodeId target, const EqualityIndex& index) noexcept {
    for (std::size_t a = 0; a < lists_.size(); ++a)
        if (same(index.value_numbers(a), owner, target)) lists_[a][owner].pop_back();
}

}  // namespace ombrix
