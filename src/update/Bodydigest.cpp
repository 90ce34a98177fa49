#include "Bodydigest.h"

void Bodydigest::update(const uint8_t* data, size_t size)
{
    stream.update(data, size);
    scan.update(data, size);
}

bool Bodydigest::finish(portable::Sha256::Digest* out) { return stream.finish(out).ok(); }
