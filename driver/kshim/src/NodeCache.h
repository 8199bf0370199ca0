// Nodes of the kernel's record maps, kept for reuse: a record taken and given
// back per transfer (pool blocks, MDLs) then allocates nothing.
#pragma once

#include <cstddef>
#include <new>

namespace kshim {

// Freed single nodes of one map, linked through themselves. Used under the
// lock that guards the map.
class NodeCache {
public:
    NodeCache() = default;
    NodeCache(const NodeCache&) = delete;
    NodeCache& operator=(const NodeCache&) = delete;
    ~NodeCache() {
        while (free_) {
            Link* next = free_->next;
            ::operator delete(free_);
            free_ = next;
        }
    }

    void* Take(size_t size) {
        if (size != size_ || !free_)
            return ::operator new(size);
        Link* node = free_;
        free_ = node->next;
        return node;
    }

    void Give(void* node, size_t size) {
        // One node size per cache; anything else goes back to the heap.
        if (size_ == 0 && size >= sizeof(Link))
            size_ = size;
        if (size != size_) {
            ::operator delete(node);
            return;
        }
        free_ = new (node) Link{free_};
    }

private:
    struct Link {
        Link* next;
    };
    Link* free_ = nullptr;
    size_t size_ = 0;
};

// An allocator that takes single nodes from a NodeCache; arrays (a map's
// buckets) come from the heap.
template <class T> struct CachedNodes {
    using value_type = T;
    NodeCache* cache;

    explicit CachedNodes(NodeCache* c) noexcept : cache(c) {}
    template <class U> CachedNodes(const CachedNodes<U>& other) noexcept : cache(other.cache) {}

    T* allocate(size_t n) {
        if (n == 1)
            return static_cast<T*>(cache->Take(sizeof(T)));
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept {
        if (n == 1)
            cache->Give(p, sizeof(T));
        else
            ::operator delete(p);
    }
    template <class U> bool operator==(const CachedNodes<U>& other) const noexcept {
        return cache == other.cache;
    }
};

} // namespace kshim
