#include "twain_source/velkit/data_source.h"

#include "twain_source/velkit/exceptions.h"

#include <cstdlib>
#include <cstring>

namespace Velkit {
using namespace twain;

namespace {

constexpr TW_UINT16 kAnyMessage = 0xFFFF;

// The record a request's data points at; a request without one fails with a bad value.
template <typename T>
T& need(TW_MEMREF data) {
    if (!data)
        throw failure(TWCC_BADVALUE);
    return *static_cast<T*>(data);
}

} // namespace

CTWAINDataSource::CTWAINDataSource() {
    defaultLayout_.Frame = {toFix32(0), toFix32(0), toFix32(8.5), toFix32(11)};
    defaultLayout_.DocumentNumber = 1;
    defaultLayout_.PageNumber = 1;
    defaultLayout_.FrameNumber = 1;
    layout_ = defaultLayout_;
}

int CTWAINDataSource::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

// The triplets this library handles, with the states each is allowed in. A triplet that is
// listed but not allowed in the current state fails with a sequence error; one that is not
// listed fails with a bad-protocol condition.
const std::vector<CTWAINDataSource::Rule>& CTWAINDataSource::rules() {
    using S = CTWAINDataSource;
    static const std::vector<Rule> table = {
        {DG_CONTROL, DAT_CAPABILITY, MSG_GET, 4, 7, &S::capability},
        {DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, 4, 7, &S::capability},
        {DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT, 4, 7, &S::capability},
        {DG_CONTROL, DAT_CAPABILITY, MSG_SET, 4, 4, &S::capability},
        {DG_CONTROL, DAT_CAPABILITY, MSG_RESET, 4, 4, &S::capability},
        {DG_CONTROL, DAT_CAPABILITY, kAnyMessage, 4, 7, &S::capability},
        {DG_CONTROL, DAT_EVENT, kAnyMessage, 3, 7, &S::doNothing},
        {DG_CONTROL, DAT_PARENT, kAnyMessage, 3, 7, &S::doNothing},
        {DG_CONTROL, DAT_IDENTITY, MSG_GET, 3, 7, &S::identityGet},
        {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, 3, 7, &S::openSource},
        {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, 4, 7, &S::closeSource},
        {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, 3, 4, &S::entryPointSet},
        {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, 4, 7, &S::pendingGet},
        {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, 6, 7, &S::pendingEnd},
        {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, 6, 7, &S::pendingReset},
        {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, 4, 6, &S::setupMemoryGet},
        {DG_CONTROL, DAT_STATUS, MSG_GET, 3, 7, &S::statusGet},
        {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, 4, 4, &S::enable},
        {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, 5, 7, &S::disable},
        {DG_CONTROL, DAT_XFERGROUP, MSG_GET, 4, 6, &S::transferGroupGet},
        {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, 6, 7, &S::imageInfoGet},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, 4, 7, &S::layoutGet},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETCURRENT, 4, 7, &S::layoutGet},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, 4, 7, &S::layoutGetDefault},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, 4, 4, &S::layoutSet},
        {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, 6, 7, &S::nativeGet},
        {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, 6, 7, &S::memoryGet},
    };
    return table;
}

TW_UINT16 CTWAINDataSource::entry(TW_IDENTITY* origin, TW_UINT32 dataGroup, TW_UINT16 dataType,
                                  TW_UINT16 message, TW_MEMREF data) {
    TW_UINT16 rc;
    {
        std::lock_guard lock(mutex_);
        rc = dispatch(origin, dataGroup, dataType, message, data);
    }
    afterEntry();
    return rc;
}

TW_UINT16 CTWAINDataSource::dispatch(TW_IDENTITY* origin, TW_UINT32 dataGroup, TW_UINT16 dataType,
                                     TW_UINT16 message, TW_MEMREF data) {
    dataGroup_ = dataGroup;
    dataType_ = dataType;
    message_ = message;
    capability_ = (dataType == DAT_CAPABILITY && data) ? static_cast<TW_CAPABILITY*>(data)->Cap : 0;
    if (!(dataGroup == DG_CONTROL && dataType == DAT_STATUS))
        conditionCode_ = TWCC_SUCCESS;

    // Only the owner talks to an open source; a second application may only try to open it
    // (and is told the source is taken).
    const bool opening =
        dataGroup == DG_CONTROL && dataType == DAT_IDENTITY && message == MSG_OPENDS;
    if (owned_ && !opening && (!origin || origin->Id != owner_.Id)) {
        conditionCode_ = TWCC_BADPROTOCOL;
        return TWRC_FAILURE;
    }
    if (dataGroup == DG_CONTROL && dataType == DAT_EVENT && message == MSG_PROCESSEVENT) {
        if (data && processEvent(*static_cast<TW_EVENT*>(data))) {
            static_cast<TW_EVENT*>(data)->TWMessage = MSG_NULL;
            return TWRC_DSEVENT;
        }
        return TWRC_NOTDSEVENT;
    }

    try {
        const Rule* match = nullptr;
        for (const Rule& r : rules()) {
            if (r.dataGroup == dataGroup && r.dataType == dataType &&
                (r.message == message || r.message == kAnyMessage)) {
                match = &r;
                break;
            }
        }
        if (!match)
            throw failure(TWCC_BADPROTOCOL);
        if (opening && owned_)
            throw failure(TWCC_MAXCONNECTIONS);
        if (state_ < match->minState || state_ > match->maxState)
            throw failure(TWCC_SEQERROR);
        origin_ = origin;
        (this->*match->handler)(data);
        origin_ = nullptr;
        return TWRC_SUCCESS;
    } catch (const CTWAINTransferDoneException&) {
        origin_ = nullptr;
        return TWRC_XFERDONE;
    } catch (const CTWAINOperationException& e) {
        origin_ = nullptr;
        conditionCode_ = e.conditionCode();
        return e.returnCode();
    } catch (...) {
        origin_ = nullptr;
        conditionCode_ = TWCC_BUMMER;
        return TWRC_FAILURE;
    }
}

// ---- Capability store.

void CTWAINDataSource::addOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value,
                                   bool settable) {
    Capability& c = capabilities_[cap];
    c.kind = Capability::OneValue;
    c.itemType = itemType;
    c.settable = settable;
    c.one.emplace(itemType, value);
    c.oneAtLoad = c.one;
    supported_.push_back(cap);
}

void CTWAINDataSource::addArray(TW_UINT16 cap, TW_UINT16 itemType, std::vector<TW_UINT32> values) {
    Capability& c = capabilities_[cap];
    c.kind = Capability::Array;
    c.itemType = itemType;
    c.array.emplace(itemType, std::move(values));
    supported_.push_back(cap);
}

void CTWAINDataSource::addEnumeration(TW_UINT16 cap, TW_UINT16 itemType,
                                      std::vector<TW_UINT32> values, std::size_t defaultIndex) {
    Capability& c = capabilities_[cap];
    c.kind = Capability::Enumeration;
    c.itemType = itemType;
    c.settable = true;
    c.lists.emplace(0, CTWAINEnumeration(itemType, std::move(values), defaultIndex, defaultIndex));
    c.listsAtLoad = c.lists;
    supported_.push_back(cap);
}

void CTWAINDataSource::addDependentEnumeration(
    TW_UINT16 cap, TW_UINT16 itemType, TW_UINT16 selector,
    const std::map<TW_UINT32, std::vector<TW_UINT32>>& lists, TW_UINT32 defaultValue) {
    Capability& c = capabilities_[cap];
    c.kind = Capability::Enumeration;
    c.itemType = itemType;
    c.settable = true;
    c.selector = selector;
    for (const auto& [key, values] : lists) {
        std::size_t index = 0;
        while (index + 1 < values.size() && values[index] != defaultValue)
            ++index;
        c.lists.emplace(key, CTWAINEnumeration(itemType, values, index, index));
    }
    c.listsAtLoad = c.lists;
    supported_.push_back(cap);
}

void CTWAINDataSource::addUnusable(TW_UINT16 cap) {
    capabilities_[cap].kind = Capability::Unusable;
    supported_.push_back(cap);
}

CTWAINDataSource::Capability& CTWAINDataSource::capabilityEntry(TW_UINT16 cap) {
    const auto it = capabilities_.find(cap);
    if (it == capabilities_.end())
        throw failure(TWCC_CAPUNSUPPORTED);
    return it->second;
}

const CTWAINDataSource::Capability& CTWAINDataSource::capabilityEntry(TW_UINT16 cap) const {
    return const_cast<CTWAINDataSource*>(this)->capabilityEntry(cap);
}

CTWAINEnumeration& CTWAINDataSource::list(Capability& c) {
    const TW_UINT32 key = c.selector ? currentValue(c.selector) : 0;
    const auto it = c.lists.find(key);
    if (it == c.lists.end())
        throw CTWAINEnumerationException();
    return it->second;
}

const CTWAINEnumeration& CTWAINDataSource::list(const Capability& c) const {
    return const_cast<CTWAINDataSource*>(this)->list(const_cast<Capability&>(c));
}

TW_UINT32 CTWAINDataSource::currentValue(TW_UINT16 cap) const {
    const Capability& c = capabilityEntry(cap);
    switch (c.kind) {
    case Capability::OneValue:
        return c.one->value();
    case Capability::Enumeration:
        return list(c).current();
    default:
        throw failure(TWCC_CAPBADOPERATION);
    }
}

bool CTWAINDataSource::trySetCurrent(TW_UINT16 cap, TW_UINT32 value) {
    Capability& c = capabilityEntry(cap);
    if (c.kind == Capability::OneValue) {
        c.one->setValue(value);
        return true;
    }
    if (c.kind != Capability::Enumeration)
        return false;
    CTWAINEnumeration& e = list(c);
    if (!e.allows(value))
        return false;
    e.setCurrent(value);
    return true;
}

void CTWAINDataSource::resetCapability(TW_UINT16 cap) {
    Capability& c = capabilityEntry(cap);
    c.one = c.oneAtLoad;
    c.lists = c.listsAtLoad;
}

// The container record that the application put behind the capability's handle, read only as
// far as its own counts reach (bounded by the container classes).
std::vector<std::uint8_t> CTWAINDataSource::readContainer(const TW_CAPABILITY& cap) {
    if (!cap.hContainer)
        throw failure(TWCC_BADVALUE);
    const auto* p = static_cast<const std::uint8_t*>(lockHandle(cap.hContainer));
    if (!p)
        throw failure(TWCC_BADVALUE);
    std::size_t header = 0;
    switch (cap.ConType) {
    case TWON_ONEVALUE:
        header = sizeof(TW_ONEVALUE);
        break;
    case TWON_ARRAY:
        header = 6;
        break;
    case TWON_ENUMERATION:
        header = 14;
        break;
    default:
        unlockHandle(cap.hContainer);
        throw CTWAINContainerException();
    }
    std::vector<std::uint8_t> bytes(p, p + header);
    if (cap.ConType != TWON_ONEVALUE) {
        TW_UINT16 type = 0;
        TW_UINT32 count = 0;
        std::memcpy(&type, p, 2);
        std::memcpy(&count, p + 2, 4);
        std::size_t size = 0;
        try {
            size = itemSize(type);
        } catch (...) {
            unlockHandle(cap.hContainer);
            throw;
        }
        if (count > 4096) {
            unlockHandle(cap.hContainer);
            throw CTWAINContainerException();
        }
        bytes.assign(p, p + header + count * size);
    }
    unlockHandle(cap.hContainer);
    return bytes;
}

void CTWAINDataSource::answerOneValue(TW_CAPABILITY& cap, const Capability& c, bool defaultValue) {
    TW_UINT32 value = 0;
    if (c.kind == Capability::OneValue)
        value = defaultValue ? c.oneAtLoad->value() : c.one->value();
    else if (c.kind == Capability::Enumeration)
        value = defaultValue ? list(c).defaultValue() : list(c).current();
    else
        throw failure(TWCC_CAPBADOPERATION);
    cap.hContainer = handleFrom(CTWAINOneValue(c.itemType, value).record());
    cap.ConType = TWON_ONEVALUE;
}

void CTWAINDataSource::capability(TW_MEMREF data) {
    TW_CAPABILITY& cap = need<TW_CAPABILITY>(data);
    Capability& c = capabilityEntry(cap.Cap);
    if (c.kind == Capability::Unusable)
        throw failure(TWCC_CAPBADOPERATION);
    switch (message_) {
    case MSG_GET:
        if (cap.Cap == CAP_SUPPORTEDCAPS) {
            cap.hContainer =
                handleFrom(CTWAINArray(TWTY_UINT16,
                                       std::vector<TW_UINT32>(supported_.begin(), supported_.end()))
                               .record());
            cap.ConType = TWON_ARRAY;
        } else if (c.kind == Capability::Array) {
            cap.hContainer = handleFrom(c.array->record());
            cap.ConType = TWON_ARRAY;
        } else if (c.kind == Capability::Enumeration) {
            cap.hContainer = handleFrom(list(c).record());
            cap.ConType = TWON_ENUMERATION;
        } else {
            answerOneValue(cap, c, false);
        }
        return;
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT:
        if (c.kind == Capability::Array)
            throw failure(TWCC_CAPBADOPERATION);
        answerOneValue(cap, c, message_ == MSG_GETDEFAULT);
        return;
    case MSG_SET: {
        if (!c.settable)
            throw failure(TWCC_CAPUNSUPPORTED);
        const std::vector<std::uint8_t> record = readContainer(cap);
        if (cap.ConType == TWON_ONEVALUE) {
            const CTWAINOneValue one = CTWAINOneValue::parse(record);
            if (one.itemType() != c.itemType)
                throw failure(TWCC_BADVALUE);
            if (!trySetCurrent(cap.Cap, one.value()))
                throw failure(TWCC_BADVALUE);
            return;
        }
        if (cap.ConType == TWON_ENUMERATION && c.kind == Capability::Enumeration) {
            const CTWAINEnumeration wanted = CTWAINEnumeration::parse(record);
            if (wanted.itemType() != c.itemType)
                throw failure(TWCC_BADVALUE);
            const std::size_t met = list(c).narrow(wanted.items(), wanted.current());
            if (met == 0)
                throw failure(TWCC_BADVALUE);
            if (met < wanted.items().size())
                throw CTWAINOperationException(TWRC_CHECKSTATUS, TWCC_BADVALUE);
            return;
        }
        throw CTWAINContainerException();
    }
    case MSG_RESET:
        if (!c.settable)
            throw failure(TWCC_CAPUNSUPPORTED);
        if (c.selector) {
            // Only the list of the current selector value goes back.
            const TW_UINT32 key = currentValue(c.selector);
            c.lists.insert_or_assign(key, c.listsAtLoad.at(key));
        } else {
            resetCapability(cap.Cap);
        }
        answerOneValue(cap, c, false);
        return;
    default:
        throw failure(TWCC_CAPBADOPERATION);
    }
}

// ---- Memory and notifications.

TW_HANDLE CTWAINDataSource::allocHandle(std::size_t size) {
    if (size > 0xFFFFFFFFu)
        throw failure(TWCC_LOWMEMORY);
    TW_HANDLE h = nullptr;
    if (manager_ && manager_->DSM_MemAllocate)
        h = manager_->DSM_MemAllocate(TW_UINT32(size));
    else
        h = std::calloc(1, size ? size : 1);
    if (!h)
        throw failure(TWCC_LOWMEMORY);
    return h;
}

void* CTWAINDataSource::lockHandle(TW_HANDLE handle) {
    if (manager_ && manager_->DSM_MemLock)
        return manager_->DSM_MemLock(handle);
    return handle;
}

void CTWAINDataSource::unlockHandle(TW_HANDLE handle) {
    if (manager_ && manager_->DSM_MemUnlock)
        manager_->DSM_MemUnlock(handle);
}

TW_HANDLE CTWAINDataSource::handleFrom(const std::vector<std::uint8_t>& bytes) {
    TW_HANDLE h = allocHandle(bytes.size());
    void* p = lockHandle(h);
    if (!p) {
        if (manager_ && manager_->DSM_MemFree)
            manager_->DSM_MemFree(h);
        else
            std::free(h);
        throw failure(TWCC_LOWMEMORY);
    }
    std::memcpy(p, bytes.data(), bytes.size());
    unlockHandle(h);
    return h;
}

void CTWAINDataSource::notify(TW_UINT16 message) {
    TW_IDENTITY from{};
    TW_IDENTITY to{};
    DSMENTRYPROC proc = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!owned_ || !manager_ || !manager_->DSM_Entry)
            return;
        // A notification overtaken by the application (disabled meanwhile) is not sent.
        if ((message == MSG_XFERREADY && state_ != 6) || (message == MSG_CLOSEDSREQ && state_ < 5))
            return;
        from = identity_;
        to = owner_;
        proc = manager_->DSM_Entry;
    }
    proc(&from, &to, DG_CONTROL, DAT_NULL, message, nullptr);
}

// ---- Control triplets.

void CTWAINDataSource::identityGet(TW_MEMREF data) {
    need<TW_IDENTITY>(data) = identity_;
}

void CTWAINDataSource::openSource(TW_MEMREF data) {
    TW_IDENTITY& given = need<TW_IDENTITY>(data);
    if (!origin_)
        throw failure(TWCC_BADPROTOCOL);
    // The manager's record of this source (with the Id it gave) is the origin of every
    // notification from now on.
    identity_ = given;
    identity_.Manufacturer[sizeof identity_.Manufacturer - 1] = 0;
    identity_.ProductFamily[sizeof identity_.ProductFamily - 1] = 0;
    identity_.ProductName[sizeof identity_.ProductName - 1] = 0;
    layout_ = defaultLayout_;
    onOpen();
    state_ = 4;
    owner_ = *origin_;
    owned_ = true;
}

void CTWAINDataSource::closeSource(TW_MEMREF) {
    onClose();
    state_ = 3;
    owned_ = false;
    owner_.Id = 0;
    manager_.reset();
}

void CTWAINDataSource::entryPointSet(TW_MEMREF data) {
    const TW_ENTRYPOINT& ep = need<TW_ENTRYPOINT>(data);
    if (ep.Size < sizeof(TW_ENTRYPOINT) || !ep.DSM_Entry || !ep.DSM_MemAllocate ||
        !ep.DSM_MemFree || !ep.DSM_MemLock || !ep.DSM_MemUnlock)
        throw failure(TWCC_BADVALUE);
    manager_ = ep;
}

void CTWAINDataSource::pendingGet(TW_MEMREF data) {
    TW_PENDINGXFERS& p = need<TW_PENDINGXFERS>(data);
    p.Count = pendingCount_;
    p.EOJ = pendingEoj_;
}

void CTWAINDataSource::pendingEnd(TW_MEMREF data) {
    onEndTransfer(need<TW_PENDINGXFERS>(data));
}

void CTWAINDataSource::pendingReset(TW_MEMREF data) {
    TW_PENDINGXFERS& p = need<TW_PENDINGXFERS>(data);
    pendingCount_ = 0;
    onResetTransfers();
    state_ = 5;
    p.Count = 0;
    p.EOJ = 0;
}

void CTWAINDataSource::setupMemoryGet(TW_MEMREF data) {
    need<TW_SETUPMEMXFER>(data) = memorySetup_;
}

void CTWAINDataSource::statusGet(TW_MEMREF data) {
    TW_STATUS& s = need<TW_STATUS>(data);
    s.ConditionCode = conditionCode_;
    s.Data = 0;
    conditionCode_ = TWCC_SUCCESS;
}

void CTWAINDataSource::enable(TW_MEMREF data) {
    onEnable(need<TW_USERINTERFACE>(data));
    state_ = 5;
}

void CTWAINDataSource::disable(TW_MEMREF data) {
    need<TW_USERINTERFACE>(data);
    onDisable();
    state_ = 4;
}

void CTWAINDataSource::transferGroupGet(TW_MEMREF data) {
    need<TW_UINT32>(data) = DG_IMAGE;
}

// ---- Image triplets.

void CTWAINDataSource::imageInfoGet(TW_MEMREF data) {
    fillImageInfo(need<TW_IMAGEINFO>(data));
}

void CTWAINDataSource::layoutGet(TW_MEMREF data) {
    need<TW_IMAGELAYOUT>(data) = layout_;
}

void CTWAINDataSource::layoutGetDefault(TW_MEMREF data) {
    need<TW_IMAGELAYOUT>(data) = defaultLayout_;
}

void CTWAINDataSource::layoutSet(TW_MEMREF data) {
    layout_ = need<TW_IMAGELAYOUT>(data);
}

void CTWAINDataSource::nativeGet(TW_MEMREF data) {
    TW_HANDLE& out = need<TW_HANDLE>(data);
    nativeTransfer(out);
    state_ = 7;
    throw CTWAINTransferDoneException();
}

void CTWAINDataSource::memoryGet(TW_MEMREF data) {
    const bool last = memoryTransfer(need<TW_IMAGEMEMXFER>(data));
    state_ = 7;
    if (last)
        throw CTWAINTransferDoneException();
}

} // namespace Velkit
