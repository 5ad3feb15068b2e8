// A list that normal-context writers change under a lock while crash-time readers walk it
// without locking: the signal handler's callback chain and the image list rest on it.
// May run at crash time: set_reading, head, next and reader_count (atomic loads and adds
// only). The nasync_ operations, the constructor and the destructor allocate and lock.
//
// A reader brackets its walk with set_reading(true) and set_reading(false). A node unlinked
// while a reader is active is parked on the free list instead of being released, and keeps its
// next link, so a reader standing on it still reaches the rest of the chain. Parked nodes are
// reused only when no reader is active: a reader that started later cannot reach them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kocrash::async {

template <typename V> class async_list {
public:
    struct node {
        V value;
        // Writers only.
        node* prev;
        std::atomic<node*> next;
        // Links parked nodes; separate from next, which a reader may still follow.
        node* free_next;
    };

    async_list() = default;
    ~async_list() {
        release_chain(head_.load());
        while (free_list_ != nullptr) {
            node* parked = free_list_;
            free_list_ = parked->free_next;
            delete parked;
        }
    }
    async_list(const async_list&) = delete;
    async_list& operator=(const async_list&) = delete;

    void nasync_append(V value) {
        std::lock_guard lock(write_lock_);
        node* added = take_node(value);
        if (tail_ != nullptr) {
            node* expected = nullptr;
            tail_->next.compare_exchange_strong(expected, added);
            added->prev = tail_;
            tail_ = added;
        } else {
            tail_ = added;
            node* expected = nullptr;
            head_.compare_exchange_strong(expected, added);
        }
    }

    void nasync_prepend(V value) {
        std::lock_guard lock(write_lock_);
        node* added = take_node(value);
        node* first = head_.load();
        if (first == nullptr) {
            tail_ = added;
            node* expected = nullptr;
            head_.compare_exchange_strong(expected, added);
            return;
        }
        added->next.store(first);
        first->prev = added;
        head_.compare_exchange_strong(first, added);
    }

    // Unlinks the node if it is in the list; returns true when it was released at once (no
    // reader was active), false when it was parked or was not in the list.
    bool nasync_remove_node(node* removed) {
        std::lock_guard lock(write_lock_);
        if (!contains(removed)) {
            return false;
        }
        node* successor = removed->next.load();
        if (removed->prev == nullptr) {
            node* expected = removed;
            head_.compare_exchange_strong(expected, successor);
        } else {
            node* expected = removed;
            removed->prev->next.compare_exchange_strong(expected, successor);
        }
        if (successor != nullptr) {
            successor->prev = removed->prev;
        } else {
            tail_ = removed->prev;
        }
        if (reader_count_.load() < 1) {
            delete removed;
            return true;
        }
        removed->prev = nullptr;
        removed->free_next = free_list_;
        free_list_ = removed;
        return false;
    }

    // Crash-time side.
    void set_reading(bool reading) {
        if (reading) {
            reader_count_.fetch_add(1);
        } else {
            reader_count_.fetch_sub(1);
        }
    }
    node* head() const { return head_.load(); }
    static node* next(const node* current) { return current->next.load(); }
    std::int32_t reader_count() const { return reader_count_.load(); }

private:
    node* take_node(V value) {
        node* taken = nullptr;
        if (free_list_ != nullptr && reader_count_.load() < 1) {
            taken = free_list_;
            free_list_ = taken->free_next;
        } else {
            taken = new node;
        }
        taken->value = value;
        taken->prev = nullptr;
        taken->next.store(nullptr);
        taken->free_next = nullptr;
        // No fence: the sequentially consistent exchange that links the node publishes these
        // fields to every reader that loads the link, a signal handler on this thread included.
        return taken;
    }

    bool contains(const node* wanted) const {
        for (node* current = head_.load(); current != nullptr; current = current->next.load()) {
            if (current == wanted) {
                return true;
            }
        }
        return false;
    }

    static void release_chain(node* current) {
        while (current != nullptr) {
            node* following = current->next.load();
            delete current;
            current = following;
        }
    }

    std::mutex write_lock_;
    std::atomic<node*> head_{nullptr};
    node* tail_ = nullptr;
    std::atomic<std::int32_t> reader_count_{0};
    node* free_list_ = nullptr;
};

} // namespace kocrash::async
