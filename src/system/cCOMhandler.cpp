#include "cCOMhandler.h"

cCOMhandler::cCOMhandler(Logger* logger) : Loguser(logger) {}

cCOMhandler::~cCOMhandler() = default;
