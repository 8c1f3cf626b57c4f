// Tables for handle kinds kept apart from kernel handles (windows, global memory).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace winapi {

// Values step by 8 from a kind-specific residue that is never a multiple of 4, so they never
// equal a kernel handle (CloseHandle on them fails as on Windows) nor a value of another kind.
// Values stay below 2^32 and are not reused until the range wraps.
template <class T>
class IssuedTable {
public:
    explicit IssuedTable(uint32_t first) : first_(first), next_(first) {}

    uint32_t Insert(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> guard(lock_);
        for (;;) {
            uint32_t value = next_;
            next_ = (next_ >= kValueLimit - kStep) ? first_ : next_ + kStep;
            if (objects_.emplace(value, object).second)
                return value;
        }
    }
    std::shared_ptr<T> Find(uintptr_t value) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = objects_.find(value);
        return it == objects_.end() ? nullptr : it->second;
    }
    std::shared_ptr<T> Remove(uintptr_t value) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = objects_.find(value);
        if (it == objects_.end())
            return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }
    std::vector<std::shared_ptr<T>> Snapshot() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::shared_ptr<T>> all;
        all.reserve(objects_.size());
        for (auto& entry : objects_)
            all.push_back(entry.second);
        return all;
    }

private:
    static constexpr uint32_t kStep = 8;
    static constexpr uint32_t kValueLimit = 0xFFFFFF00u;
    const uint32_t first_;
    std::mutex lock_;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> objects_;
    uint32_t next_;
};

}  // namespace winapi
