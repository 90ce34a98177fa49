#include "cOLEhandler.h"

cOLEhandler::cOLEhandler(Logger* logger) : Loguser(logger) {}

cOLEhandler::~cOLEhandler() = default;
