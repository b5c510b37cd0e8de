// Handle values that are registry keys, never addresses or descriptors
// (message windows, network events, files): the calls that take a handle
// find its object here, and a handle closed once finds nothing again.
#pragma once

#include <stdint.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace oam {
namespace platform {

// Keys run 16, 32, 48, ...: never 0, and with the low bits clear like
// Windows handle values. A key is never given twice in a process, so a
// stale handle finds nothing rather than a later object.
template <typename T>
class HandleRegistry {
public:
    // One per object type, never destroyed: other threads may still call
    // with a handle while the process exits.
    static HandleRegistry& Instance() {
        static HandleRegistry* r = new HandleRegistry;
        return *r;
    }

    // Files item under a new key; stamp(item, key) runs before any other
    // thread can find it.
    template <typename Stamp>
    uintptr_t Add(std::shared_ptr<T> item, Stamp stamp) {
        std::lock_guard<std::mutex> lock(m_mutex);
        uintptr_t key = static_cast<uintptr_t>(++m_lastId) << 4;
        stamp(*item, key);
        m_items.emplace(key, std::move(item));
        return key;
    }

    uintptr_t Add(std::shared_ptr<T> item) {
        return Add(std::move(item), [](T&, uintptr_t) {});
    }

    std::shared_ptr<T> Find(uintptr_t key) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : it->second;
    }

    // Removes the key's object and gives it, or null when there is none.
    std::shared_ptr<T> Take(uintptr_t key) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_items.find(key);
        if (it == m_items.end()) return nullptr;
        std::shared_ptr<T> item = std::move(it->second);
        m_items.erase(it);
        return item;
    }

    // Removes every object for which drop(object) is true.
    template <typename Pred>
    void RemoveIf(Pred drop) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_items.begin(); it != m_items.end();) {
            if (drop(*it->second))
                it = m_items.erase(it);
            else
                ++it;
        }
    }

private:
    HandleRegistry() = default;

    std::mutex m_mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> m_items;
    uint64_t m_lastId = 0;
};

}  // namespace platform
}  // namespace oam
