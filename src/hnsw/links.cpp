// Appending links, all or nothing, and undoing them.
#include "hnsw/links.hpp"

namespace ombrix {
namespace {

// Room for one more element without reallocating inside a multi-list append.
template <class T>
void make_room(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() < 4 ? 4 : 2 * v.capacity());
}

}  // namespace

void Links::add_node(std::uint64_t level) {
    all_.emplace_back();
    try {
        upper_.emplace_back(static_cast<std::size_t>(std::min(level, kMaxListLayer)));
    } catch (...) {
        all_.pop_back();
        throw;
    }
}

void Links::truncate(std::size_t nodes) noexcept {
    if (all_.size() > nodes) all_.erase(all_.begin() + static_cast<std::ptrdiff_t>(nodes), all_.end());
    if (upper_.size() > nodes) upper_.erase(upper_.begin() + static_cast<std::ptrdiff_t>(nodes), upper_.end());
}

void Links::append(NodeId owner, NodeId target, std::uint64_t target_level) {
    std::vector<NodeId>& whole = all_[owner];
    std::vector<std::vector<NodeId>>& upper = upper_[owner];
    const std::size_t upto = static_cast<std::size_t>(std::min<std::uint64_t>(target_level, upper.size()));
    // Reserve everything first so that the appends below cannot fail halfway.
    make_room(whole);
    for (std::size_t l = 0; l < upto; ++l) make_room(upper[l]);
    whole.push_back(target);
    for (std::size_t l = 0; l < upto; ++l) upper[l].push_back(target);
}

void Links::remove_last(NodeId owner, std::uint64_t target_level) noexcept {
    std::vector<std::vector<NodeId>>& upper = upper_[owner];
    const std::size_t upto = static_cast<std::size_t>(std::min<std::uint64_t>(target_level, upper.size()));
    all_[owner].pop_back();
    for (std::size_t l = 0; l < upto; ++l) upper[l].pop_back();
}

}  // namespace ombrix
