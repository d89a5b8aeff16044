#include "twain_source/velkit/containers.h"

#include "twain_source/velkit/exceptions.h"

#include <algorithm>
#include <cstring>

namespace Velkit {
using namespace twain;

namespace {

template <typename T>
T load(std::span<const std::uint8_t> bytes, std::size_t at) {
    T v{};
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

template <typename T>
void append(Record& out, T v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

// An item as the record holds it: sign-extended for the signed types, so a TW_INT16 of -1
// comes back as the same 32-bit word it was stored from.
TW_UINT32 loadItem(std::span<const std::uint8_t> bytes, std::size_t at, TW_UINT16 type) {
    switch (type) {
    case TWTY_INT8:
        return TW_UINT32(TW_INT32(load<TW_INT8>(bytes, at)));
    case TWTY_UINT8:
        return load<TW_UINT8>(bytes, at);
    case TWTY_INT16:
        return TW_UINT32(TW_INT32(load<TW_INT16>(bytes, at)));
    case TWTY_UINT16:
    case TWTY_BOOL:
        return load<TW_UINT16>(bytes, at);
    default:
        return load<TW_UINT32>(bytes, at);
    }
}

void appendItem(Record& out, TW_UINT32 v, TW_UINT16 type) {
    switch (itemSize(type)) {
    case 1:
        append(out, TW_UINT8(v));
        break;
    case 2:
        append(out, TW_UINT16(v));
        break;
    default:
        append(out, v);
        break;
    }
}

// Item counts beyond this are not a capability this library could hold.
constexpr TW_UINT32 kMaxItems = 4096;

template <typename Error>
std::vector<TW_UINT32> loadItems(std::span<const std::uint8_t> record, std::size_t headerBytes,
                                 TW_UINT16 type, TW_UINT32 count) {
    if (count > kMaxItems || record.size() < headerBytes + std::size_t(count) * itemSize(type))
        throw Error();
    std::vector<TW_UINT32> items;
    for (TW_UINT32 i = 0; i < count; ++i)
        items.push_back(loadItem(record, headerBytes + i * itemSize(type), type));
    return items;
}

} // namespace

std::size_t itemSize(TW_UINT16 itemType) {
    switch (itemType) {
    case TWTY_INT8:
    case TWTY_UINT8:
        return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL:
        return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
        return 4;
    default:
        throw CTWAINContainerException();
    }
}

CTWAINContainer::CTWAINContainer(TW_UINT16 itemType) : itemType_(itemType) {
    itemSize(itemType);
}

TW_UINT16 CTWAINContainer::itemTypeOf(std::span<const std::uint8_t> record) {
    if (record.size() < 2)
        throw CTWAINContainerException();
    return load<TW_UINT16>(record, 0);
}

CTWAINOneValue::CTWAINOneValue(TW_UINT16 itemType, TW_UINT32 value)
    : CTWAINContainer(itemType), value_(value) {}

CTWAINOneValue CTWAINOneValue::parse(std::span<const std::uint8_t> record) {
    if (record.size() < sizeof(TW_ONEVALUE))
        throw CTWAINOneValueException();
    const TW_UINT16 type = load<TW_UINT16>(record, 0);
    try {
        itemSize(type);
    } catch (const CTWAINContainerException&) {
        throw CTWAINOneValueException();
    }
    return CTWAINOneValue(type, loadItem(record, 2, type));
}

Record CTWAINOneValue::record() const {
    Record out;
    append(out, itemType_);
    // Item is a 32-bit field whatever the item type; narrower items sit in its low bytes.
    Record item;
    appendItem(item, value_, itemType_);
    item.resize(4, 0);
    out.insert(out.end(), item.begin(), item.end());
    return out;
}

CTWAINArray::CTWAINArray(TW_UINT16 itemType, std::vector<TW_UINT32> items)
    : CTWAINContainer(itemType), items_(std::move(items)) {}

CTWAINArray CTWAINArray::parse(std::span<const std::uint8_t> record) {
    constexpr std::size_t header = 6;
    if (record.size() < header)
        throw CTWAINArrayException();
    const TW_UINT16 type = load<TW_UINT16>(record, 0);
    try {
        itemSize(type);
    } catch (const CTWAINContainerException&) {
        throw CTWAINArrayException();
    }
    return CTWAINArray(
        type, loadItems<CTWAINArrayException>(record, header, type, load<TW_UINT32>(record, 2)));
}

Record CTWAINArray::record() const {
    Record out;
    append(out, itemType_);
    append(out, TW_UINT32(items_.size()));
    for (TW_UINT32 v : items_)
        appendItem(out, v, itemType_);
    return out;
}

TW_UINT32 CTWAINArray::at(std::size_t index) const {
    if (index >= items_.size())
        throw CTWAINArrayException();
    return items_[index];
}

CTWAINEnumeration::CTWAINEnumeration(TW_UINT16 itemType, std::vector<TW_UINT32> items,
                                     std::size_t currentIndex, std::size_t defaultIndex)
    : CTWAINContainer(itemType), items_(std::move(items)), current_(currentIndex),
      default_(defaultIndex) {
    if (current_ >= items_.size() || default_ >= items_.size())
        throw CTWAINEnumerationException();
    defaultValue_ = items_[default_];
}

CTWAINEnumeration CTWAINEnumeration::parse(std::span<const std::uint8_t> record) {
    constexpr std::size_t header = 14;
    if (record.size() < header)
        throw CTWAINEnumerationException();
    const TW_UINT16 type = load<TW_UINT16>(record, 0);
    try {
        itemSize(type);
    } catch (const CTWAINContainerException&) {
        throw CTWAINEnumerationException();
    }
    std::vector<TW_UINT32> items =
        loadItems<CTWAINEnumerationException>(record, header, type, load<TW_UINT32>(record, 2));
    return CTWAINEnumeration(type, std::move(items), load<TW_UINT32>(record, 6),
                             load<TW_UINT32>(record, 10));
}

Record CTWAINEnumeration::record() const {
    Record out;
    append(out, itemType_);
    append(out, TW_UINT32(items_.size()));
    append(out, TW_UINT32(current_));
    append(out, TW_UINT32(default_));
    for (TW_UINT32 v : items_)
        appendItem(out, v, itemType_);
    return out;
}

bool CTWAINEnumeration::allows(TW_UINT32 value) const {
    return std::find(items_.begin(), items_.end(), value) != items_.end();
}

void CTWAINEnumeration::setCurrent(TW_UINT32 value) {
    const auto it = std::find(items_.begin(), items_.end(), value);
    if (it == items_.end())
        throw CTWAINEnumerationException();
    current_ = std::size_t(it - items_.begin());
}

std::size_t CTWAINEnumeration::narrow(const std::vector<TW_UINT32>& wanted,
                                      TW_UINT32 wantedCurrent) {
    std::vector<TW_UINT32> kept;
    for (TW_UINT32 v : items_) {
        if (std::find(wanted.begin(), wanted.end(), v) != wanted.end())
            kept.push_back(v);
    }
    std::size_t met = 0;
    for (TW_UINT32 v : wanted)
        met += allows(v) ? 1 : 0;
    if (kept.empty())
        return 0;
    const TW_UINT32 oldCurrent = current();
    items_ = std::move(kept);
    auto indexOf = [&](TW_UINT32 v) {
        return std::size_t(std::find(items_.begin(), items_.end(), v) - items_.begin());
    };
    current_ = allows(wantedCurrent) ? indexOf(wantedCurrent)
               : allows(oldCurrent)  ? indexOf(oldCurrent)
                                     : 0;
    default_ = allows(defaultValue_) ? indexOf(defaultValue_) : current_;
    return met;
}

} // namespace Velkit
