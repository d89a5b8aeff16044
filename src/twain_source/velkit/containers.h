// The capability containers of the Velkit library: one value, array and enumeration, each
// holding items of one TWAIN item type (kept as 32-bit words, written at the item type's own
// size). They read and write the TWAIN container records (TW_ONEVALUE, TW_ARRAY,
// TW_ENUMERATION) that travel in a TW_CAPABILITY's handle. Misuse throws the container's own
// exception (exceptions.h). Plain values; not shared between threads.
#pragma once

#include "twain_source/twain.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Velkit {

using Record = std::vector<std::uint8_t>;

// Bytes of one item of `itemType` in a container record; throws CTWAINContainerException for
// item types the library does not carry (strings, frames, handles).
std::size_t itemSize(twain::TW_UINT16 itemType);

class CTWAINContainer {
public:
    explicit CTWAINContainer(twain::TW_UINT16 itemType);
    virtual ~CTWAINContainer() = default;

    twain::TW_UINT16 itemType() const { return itemType_; }
    virtual twain::TW_UINT16 containerType() const = 0;
    // The container record as it goes into a capability handle.
    virtual Record record() const = 0;

    // The container type named in a record's place: throws CTWAINContainerException when the
    // record is too short to hold one.
    static twain::TW_UINT16 itemTypeOf(std::span<const std::uint8_t> record);

protected:
    twain::TW_UINT16 itemType_;
};

class CTWAINOneValue : public CTWAINContainer {
public:
    CTWAINOneValue(twain::TW_UINT16 itemType, twain::TW_UINT32 value);
    // Reads a TW_ONEVALUE record; throws CTWAINOneValueException when it is short or its item
    // type is unknown.
    static CTWAINOneValue parse(std::span<const std::uint8_t> record);

    twain::TW_UINT16 containerType() const override { return twain::TWON_ONEVALUE; }
    Record record() const override;
    twain::TW_UINT32 value() const { return value_; }
    void setValue(twain::TW_UINT32 value) { value_ = value; }

private:
    twain::TW_UINT32 value_;
};

class CTWAINArray : public CTWAINContainer {
public:
    CTWAINArray(twain::TW_UINT16 itemType, std::vector<twain::TW_UINT32> items);
    static CTWAINArray parse(std::span<const std::uint8_t> record);

    twain::TW_UINT16 containerType() const override { return twain::TWON_ARRAY; }
    Record record() const override;
    const std::vector<twain::TW_UINT32>& items() const { return items_; }
    // Throws CTWAINArrayException outside 0..size-1.
    twain::TW_UINT32 at(std::size_t index) const;

private:
    std::vector<twain::TW_UINT32> items_;
};

class CTWAINEnumeration : public CTWAINContainer {
public:
    // Throws CTWAINEnumerationException when an index lies outside the items.
    CTWAINEnumeration(twain::TW_UINT16 itemType, std::vector<twain::TW_UINT32> items,
                      std::size_t currentIndex, std::size_t defaultIndex);
    static CTWAINEnumeration parse(std::span<const std::uint8_t> record);

    twain::TW_UINT16 containerType() const override { return twain::TWON_ENUMERATION; }
    Record record() const override;

    const std::vector<twain::TW_UINT32>& items() const { return items_; }
    std::size_t currentIndex() const { return current_; }
    std::size_t defaultIndex() const { return default_; }
    twain::TW_UINT32 current() const { return items_[current_]; }
    twain::TW_UINT32 defaultValue() const { return items_[default_]; }
    bool allows(twain::TW_UINT32 value) const;

    // Makes `value` current; throws CTWAINEnumerationException when it is not allowed.
    void setCurrent(twain::TW_UINT32 value);

    // Narrows the allowed values to those of `wanted` that are allowed now (keeping this
    // list's order), with `wantedCurrent` current when it is among them, else the current value
    // when it stays, else the first. The count of wanted values that could be met: when it is
    // 0 nothing changes.
    std::size_t narrow(const std::vector<twain::TW_UINT32>& wanted, twain::TW_UINT32 wantedCurrent);

private:
    std::vector<twain::TW_UINT32> items_;
    std::size_t current_;
    std::size_t default_;
    twain::TW_UINT32 defaultValue_;
};

} // namespace Velkit
