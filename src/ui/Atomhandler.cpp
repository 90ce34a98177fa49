#include "Atomhandler.h"

Atomhandler::Atomhandler(Logger* logger) : Loguser(logger), globalAtoms(0)
{
    log(LOG_DEBUG, FN_CONSTRUCTOR, L"Using LOCAL atoms");
}

Atomhandler::~Atomhandler() = default;
