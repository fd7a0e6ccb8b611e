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

void Links::append(NodeId owner, NodeId target, std::uint64_t target_level) {
    std::vector<std::vector<NodeId>>& lists = lists_[owner];
    const std::size_t upto = static_cast<std::size_t>(std::min<std::uint64_t>(target_level, lists.size() - 1));
    // Reserve everything first so that the appends below cannot fail halfway.
    for (std::size_t l = 0; l <= upto; ++l) make_room(lists[l]);
    for (std::size_t l = 0; l <= upto; ++l) lists[l].push_back(target);
}

void Links::remove_last(NodeId owner, std::uint64_t target_level) noexcept {
    std::vector<std::vector<NodeId>>& lists = lists_[owner];
    const std::size_t upto = static_cast<std::size_t>(std::min<std::uint64_t>(target_level, lists.size() - 1));
    for (std::size_t l = 0; l <= upto; ++l) lists[l].pop_back();
}

}  // namespace ombrix
