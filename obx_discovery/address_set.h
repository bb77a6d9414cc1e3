// SPDX-License-Identifier: MIT
// The peer addresses an instance has reported. Every address stays for the
// life of the instance, so a flood of forged senders grows it: an open-
// addressing table of 4-byte slots keeps that small.
#ifndef OBX_DISCOVERY_ADDRESS_SET_H
#define OBX_DISCOVERY_ADDRESS_SET_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class AddressSet {
public:
    AddressSet();

    bool contains(in_addr address) const;
    // Adds address; false if it was there already. Throws when out of memory,
    // and the set is unchanged then.
    bool insert(in_addr address);

    size_t size() const { return count_; }
    // Memory the set holds, in bytes.
    size_t bytes() const { return slots_.capacity() * sizeof(uint32_t); }

private:
    // Where key is, or the empty slot where it belongs.
    size_t slot_of(uint32_t key) const;
    void grow();

    // 0 marks an empty slot; the address 0.0.0.0 is kept aside.
    std::vector<uint32_t> slots_;
    bool has_zero_ = false;
    size_t count_ = 0;
    // Chosen per set, so that a sender cannot pick addresses that collide.
    uint32_t seed_ = 0;
};

#endif
