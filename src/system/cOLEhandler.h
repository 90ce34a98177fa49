// cOLEhandler: a capability base of the global configuration (cCFG) for OLE work. The installer
// calls none of its operations; it holds the run's Logger (not owned) and two handles that stay
// null. Owned by whoever owns the cCFG it is part of.
#pragma once

#include "Loguser.h"

class cOLEhandler : public Loguser {
public:
    explicit cOLEhandler(Logger* logger);
    ~cOLEhandler() override;
    int32_t getClassKind() const override { return 0; }

protected:
    void* oleObject = nullptr;
    void* oleClientSite = nullptr;
};
