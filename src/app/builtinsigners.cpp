#include "builtinsigners.h"

#ifndef CV_TRUSTED_SIGNERS
#define CV_TRUSTED_SIGNERS ""
#endif

const char* builtInSigners() { return CV_TRUSTED_SIGNERS; }
