// SPDX-License-Identifier: Apache-2.0
#include "net_xdr_value.h"

#include "net_xdr_budget.h"
#include "zo/zostring.h"

sL_VALUE::sL_VALUE(const sL_VALUE& other) : sL_VALUE() {
    *this = other;
}

void sL_VALUE::Cleanup() {
    // A reference does not own its target; lists and handles are not owned through a value.
    if (fReference || !fValid || data.pVoid == nullptr) {
        return;
    }
    if (kind == NET_KIND_REAL) {
        delete data.pdValue;
    } else if (kind == NET_KIND_STRING) {
        delete data.pString;
    } else {
        return;
    }
    data.pVoid = nullptr;
    fValid = 0;
}

sL_VALUE& sL_VALUE::operator=(const sL_VALUE& source) {
    if (this == &source) {
        return *this;
    }
    Cleanup();
    usType = source.usType;
    fValid = source.fValid;
    fReference = source.fReference;
    fSpare10 = 0;
    fSpare20 = 0;
    kind = source.kind;
    data = {};
    if (!fValid) {
        return *this;
    }
    // A reference shares its target whatever its kind says, so a malformed kind cannot make
    // this copy read the target as a double or a string.
    if (!fReference && kind == NET_KIND_REAL && source.data.pdValue != nullptr) {
        data.pdValue = new double(*source.data.pdValue);
    } else if (!fReference && kind == NET_KIND_STRING && source.data.pString != nullptr) {
        data.pString = new ZoString(*source.data.pString);
    } else {
        data = source.data;
    }
    return *this;
}

void NetTakeValue(sL_VALUE& to, sL_VALUE& from) {
    to.data = from.data;
    to.usType = from.usType;
    to.kind = from.kind;
    to.fSpare10 = from.fSpare10;
    to.fSpare20 = from.fSpare20;
    to.fReference = from.fReference;
    to.fValid = from.fValid;
    from.data = {};
    from.fReference = 0;
    from.fValid = 0;
}
