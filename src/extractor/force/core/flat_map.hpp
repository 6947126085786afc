// Open-addressing maps for node ids, object-identity caches and triples of objects, where std::unordered_map's
// node per entry would cost more than the work a cache saves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace force {

inline std::uint64_t mix(std::uint64_t key) noexcept {
    // splitmix64 finaliser: ids are often consecutive and pointers share their low bits.
    key ^= key >> 30;
    key *= 0xbf58476d1ce4e5b9ULL;
    key ^= key >> 27;
    key *= 0x94d049bb133111ebULL;
    key ^= key >> 31;
    return key;
}

inline std::uint64_t hash_key(std::uint64_t key) noexcept { return mix(key); }

template <std::size_t N>
std::uint64_t hash_key(const std::array<std::uint64_t, N>& key) noexcept {
    std::uint64_t hash = 0;
    for (std::uint64_t part : key) hash = mix(hash ^ part);
    return hash;
}

template <class Key>
class FlatMap {
public:
    std::optional<std::uint32_t> find(const Key& key) const noexcept {
        if (slots_.empty()) return std::nullopt;
        for (std::size_t i = hash_key(key) & mask();; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (!slot.used) return std::nullopt;
            if (slot.key == key) return slot.value;
        }
    }

    // The value stored under `key`, storing `value` first when there is none.
    std::uint32_t emplace(const Key& key, std::uint32_t value) { return slot(key, value); }

    // The value stored under `key`, storing `value` first when there is none, to be changed in place until the
    // next key is stored.
    std::uint32_t& slot(const Key& key, std::uint32_t value = 0) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        for (std::size_t i = hash_key(key) & mask();; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot = {key, value, true};
                ++size_;
                return slot.value;
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
        Key key;
        std::uint32_t value;
        bool used;
    };

    std::size_t mask() const noexcept { return slots_.size() - 1; }
    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{Key{}, 0, false});
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.used) emplace(slot.key, slot.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

using IntMap = FlatMap<std::uint64_t>;

}  // namespace force
