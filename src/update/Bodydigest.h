// Bodydigest: the image digest of a download, computed on a thread of its own while the body
// arrives, so that a publisher check costs the download next to no time. The same thread scans
// the bytes for what a deployment block in them says about the pin (portable::SignerEntryScan). The updater feeds every
// block it writes to the private download file (update copies it into 1 MiB batches; at most four
// batches wait, so memory stays bounded and a slow hasher slows the download rather than growing;
// hashed batches are reused);
// finish hands over the rest and waits for the digest. Owned by cWebupdater for one download.
#pragma once

#include "authenticode.h"
#include "signerentryscan.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class Bodydigest {
public:
    static constexpr size_t BATCH = 1048576;
    static constexpr size_t MAX_WAITING = 4;

    Bodydigest();
    ~Bodydigest();
    Bodydigest(const Bodydigest&) = delete;
    Bodydigest& operator=(const Bodydigest&) = delete;

    void update(const uint8_t* data, size_t size);
    // The digest of everything fed; false when the bytes are no usable PE image (see
    // portable::ImageDigestStream::finish). Call once.
    bool finish(portable::Sha256::Digest* out);
    // The scan of everything fed; complete once finish has returned.
    const portable::SignerEntryScan& blockScan() const { return scan; }

private:
    std::vector<uint8_t> spareBatch();
    void hand(std::vector<uint8_t> batch);
    void work();

    portable::ImageDigestStream stream;
    portable::SignerEntryScan scan;
    std::vector<uint8_t> filling;
    std::deque<std::vector<uint8_t>> waiting;
    std::vector<std::vector<uint8_t>> spare; // hashed batches, ready for reuse
    std::mutex lock;
    std::condition_variable changed;
    bool ending = false;
    bool finished = false;
    std::thread worker;
};
