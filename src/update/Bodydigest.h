// Bodydigest: the image digest of a download and what a deployment block in it says about the pin
// (portable::SignerEntryScan), computed from the bytes as they are written, so that a publisher
// check needs no second pass over the file. Bodyreceiver feeds it each batch right after writing
// it, from the same buffer and on the same thread, while the helper thread already reads the next
// batch from the network: the hash runs beside the transfer without a thread, a copy or a buffer
// of its own. finish gives the digest. Owned by cWebupdater for one download.
#pragma once

#include "authenticode.h"
#include "signerentryscan.h"

#include <cstdint>

class Bodydigest {
public:
    Bodydigest() = default;
    Bodydigest(const Bodydigest&) = delete;
    Bodydigest& operator=(const Bodydigest&) = delete;

    void update(const uint8_t* data, size_t size);
    // The digest of everything fed; false when the bytes are no usable PE image (see
    // portable::ImageDigestStream::finish). Call once.
    bool finish(portable::Sha256::Digest* out);
    // The scan of everything fed.
    const portable::SignerEntryScan& blockScan() const { return scan; }

private:
    portable::ImageDigestStream stream;
    portable::SignerEntryScan scan;
};
