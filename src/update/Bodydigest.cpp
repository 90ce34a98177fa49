#include "Bodydigest.h"

#include <cstring>

Bodydigest::Bodydigest()
{
    filling.reserve(BATCH);
    worker = std::thread([this] { work(); });
}

Bodydigest::~Bodydigest()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    changed.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}

void Bodydigest::update(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const size_t take = std::min(size, BATCH - filling.size());
        filling.insert(filling.end(), data, data + take);
        data += take;
        size -= take;
        if (filling.size() == BATCH) {
            std::vector<uint8_t> next = spareBatch();
            next.swap(filling);
            hand(std::move(next));
        }
    }
}

// A hashed batch comes back for the next one: the few buffers are touched once, not the whole
// body's worth of fresh memory.
std::vector<uint8_t> Bodydigest::spareBatch()
{
    std::vector<uint8_t> batch;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!spare.empty()) {
            batch = std::move(spare.back());
            spare.pop_back();
        }
    }
    batch.clear();
    batch.reserve(BATCH);
    return batch;
}

void Bodydigest::hand(std::vector<uint8_t> batch)
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return waiting.size() < MAX_WAITING; });
    waiting.push_back(std::move(batch));
    guard.unlock();
    changed.notify_all();
}

void Bodydigest::work()
{
    for (;;) {
        std::vector<uint8_t> batch;
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [this] { return !waiting.empty() || ending; });
            if (waiting.empty()) {
                finished = true;
                changed.notify_all();
                return;
            }
            batch = std::move(waiting.front());
            waiting.pop_front();
        }
        changed.notify_all();
        stream.update(batch.data(), batch.size());
        scan.update(batch.data(), batch.size());
        std::lock_guard<std::mutex> guard(lock);
        spare.push_back(std::move(batch));
    }
}

bool Bodydigest::finish(portable::Sha256::Digest* out)
{
    if (!filling.empty()) {
        hand(std::move(filling));
        filling.clear();
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        ending = true;
        changed.notify_all();
        changed.wait(guard, [this] { return finished; });
    }
    worker.join();
    return stream.finish(out).ok();
}
