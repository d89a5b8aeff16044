// The exceptions of the Velkit TWAIN class library. Handlers of a data source signal every
// outcome other than plain success by throwing one of them; the entry point
// (CTWAINDataSource::entry) turns them into TWAIN return and condition codes, so none ever
// leaves DS_Entry.
#pragma once

#include "twain_source/twain.h"

#include <stdexcept>
#include <string>

namespace Velkit {

class CTWAINException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A container used against its kind (wrong item type, index out of range, malformed record).
class CTWAINContainerException : public CTWAINException {
public:
    CTWAINContainerException() : CTWAINException("Velkit Container Error.") {}

protected:
    using CTWAINException::CTWAINException;
};

class CTWAINOneValueException : public CTWAINContainerException {
public:
    CTWAINOneValueException() : CTWAINContainerException("Velkit One Value Error.") {}
};

class CTWAINArrayException : public CTWAINContainerException {
public:
    CTWAINArrayException() : CTWAINContainerException("Velkit Array Error.") {}
};

class CTWAINEnumerationException : public CTWAINContainerException {
public:
    CTWAINEnumerationException() : CTWAINContainerException("Velkit Enumeration Error.") {}
};

// A request that ends with its own return code and condition code (failure 1 with a
// condition, or check-status 2).
class CTWAINOperationException : public CTWAINException {
public:
    CTWAINOperationException(twain::TW_UINT16 returnCode, twain::TW_UINT16 conditionCode)
        : CTWAINException("Velkit Operation Error."), returnCode_(returnCode),
          conditionCode_(conditionCode) {}
    twain::TW_UINT16 returnCode() const { return returnCode_; }
    twain::TW_UINT16 conditionCode() const { return conditionCode_; }

private:
    twain::TW_UINT16 returnCode_;
    twain::TW_UINT16 conditionCode_;
};

// Failure 1 with a condition code: the common case.
inline CTWAINOperationException failure(twain::TW_UINT16 conditionCode) {
    return CTWAINOperationException(twain::TWRC_FAILURE, conditionCode);
}

// A transfer has ended: return code 6.
class CTWAINTransferDoneException : public CTWAINException {
public:
    CTWAINTransferDoneException() : CTWAINException("Velkit Transfer Done.") {}
};

} // namespace Velkit
