// An open-addressing map from 64-bit keys to 32-bit values, for node ids and object-identity caches where
// std::unordered_map's node per entry would cost more than the work it saves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace force {

class IntMap {
public:
    std::optional<std::uint32_t> find(std::uint64_t key) const noexcept {
        if (slots_.empty()) return std::nullopt;
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (!slot.used) return std::nullopt;
            if (slot.key == key) return slot.value;
        }
    }

    // The value stored under `key`, storing `value` first when there is none.
    std::uint32_t emplace(std::uint64_t key, std::uint32_t value) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot = {key, value, true};
                ++size_;
                return value;
            }
            if (slot.key == key) return slot.value;
        }
    }

    void clear() noexcept {
        slots_.clear();
        size_ = 0;
    }
    std::size_t size() const noexcept { return size_; }

private:
    struct Slot {
        std::uint64_t key;
        std::uint32_t value;
        bool used;
    };

    std::size_t mask() const noexcept { return slots_.size() - 1; }
    std::size_t slot_of(std::uint64_t key) const noexcept {
        // splitmix64 finaliser: ids are often consecutive and pointers share their low bits.
        key ^= key >> 30;
        key *= 0xbf58476d1ce4e5b9ULL;
        key ^= key >> 27;
        key *= 0x94d049bb133111ebULL;
        key ^= key >> 31;
        return static_cast<std::size_t>(key) & mask();
    }
    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{0, 0, false});
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.used) emplace(slot.key, slot.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace force
