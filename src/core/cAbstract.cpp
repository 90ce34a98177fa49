#include "cAbstract.h"

cAbstract::~cAbstract() = default;
