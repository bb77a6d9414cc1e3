// SPDX-License-Identifier: MIT
#include "address_set.h"

#include <sys/random.h>

#include <chrono>

namespace {

constexpr size_t INITIAL_SLOTS = 64;

// MurmurHash3's finaliser: every bit of the key moves every bit of the hash.
uint32_t mix(uint32_t h)
{
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

} // namespace

AddressSet::AddressSet()
{
    if (getrandom(&seed_, sizeof seed_, GRND_NONBLOCK) != sizeof seed_)
        seed_ = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

size_t AddressSet::slot_of(uint32_t key) const
{
    const size_t mask = slots_.size() - 1;
    size_t at = mix(key ^ seed_) & mask;
    while (slots_[at] != 0 && slots_[at] != key)
        at = (at + 1) & mask;
    return at;
}

bool AddressSet::contains(in_addr address) const
{
    uint32_t key = address.s_addr;
    if (key == 0)
        return has_zero_;
    return !slots_.empty() && slots_[slot_of(key)] == key;
}

bool AddressSet::insert(in_addr address)
{
    uint32_t key = address.s_addr;
    if (key == 0) {
        bool added = !has_zero_;
        has_zero_ = true;
        count_ += added;
        return added;
    }
    size_t at = slots_.empty() ? 0 : slot_of(key);
    if (!slots_.empty() && slots_[at] == key)
        return false;
    if ((count_ + 1) * 4 > slots_.size() * 3) {
        grow();
        at = slot_of(key);
    }
    slots_[at] = key;
    ++count_;
    return true;
}

void AddressSet::grow()
{
    std::vector<uint32_t> old(slots_.empty() ? INITIAL_SLOTS : slots_.size() * 2, 0);
    old.swap(slots_);
    for (uint32_t key : old)
        if (key != 0)
            slots_[slot_of(key)] = key;
}
