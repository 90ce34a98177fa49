#include "Atomhandler.h"

Atomhandler::Atomhandler(Logger* logger) : Loguser(logger), globalAtoms(0)
{
    log(5, L"Atomhandler::Atomhandler", L"Using LOCAL atoms");
}

Atomhandler::~Atomhandler() = default;
