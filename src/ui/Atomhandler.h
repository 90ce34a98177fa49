// Atomhandler: the atom-table part of every toolkit window (cDWT). It records whether the
// process-local or the global atom table is used; the installer uses the local one and
// registers no atoms. It lives and dies with its window object.
#pragma once

#include "Loguser.h"

#include <cstdint>

class Atomhandler : public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CONSTRUCTOR = L"Atomhandler::Atomhandler";

    explicit Atomhandler(Logger* logger);
    ~Atomhandler() override;
    int32_t getClassKind() const override { return 0; }

    int32_t usesGlobalAtoms() const { return globalAtoms; }

protected:
    int32_t globalAtoms;
};
