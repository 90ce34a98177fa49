// cAbstract: the root of every class of the installer's own code. It carries no data; its one
// pure virtual query keeps the capability bases abstract, and its virtual destructor lets every
// object be deleted through a base pointer. Nobody owns a cAbstract as such.
#pragma once

#include <cstdint>

class cAbstract {
public:
    virtual int32_t getClassKind() const = 0;
    virtual ~cAbstract();
};
