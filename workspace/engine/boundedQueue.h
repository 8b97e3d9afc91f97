#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace engine {

// A queue between two threads that holds at most `capacity` items: push() waits while it is full, pop()
// while it is empty. close() ends both waits: push() then refuses, pop() hands out what is left and
// then nothing. This is what keeps a pipelined batch's memory to a few pictures.
template <typename T> class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity(capacity < 1 ? 1 : capacity) {}

    // False when the queue was closed; the item is then dropped.
    bool push(T item)
    {
        std::unique_lock<std::mutex> lock(mutex);
        notFull.wait(lock, [this] { return closed || items.size() < capacity; });
        if (closed)
            return false;
        items.push_back(std::move(item));
        notEmpty.notify_one();
        return true;
    }

    // Without waiting: false when the queue is full or closed.
    bool tryPush(T item)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed || items.size() >= capacity)
            return false;
        items.push_back(std::move(item));
        notEmpty.notify_one();
        return true;
    }

    // Nothing once the queue is closed and empty.
    std::optional<T> pop()
    {
        std::unique_lock<std::mutex> lock(mutex);
        notEmpty.wait(lock, [this] { return closed || !items.empty(); });
        if (items.empty())
            return std::nullopt;
        T item = std::move(items.front());
        items.pop_front();
        notFull.notify_one();
        return item;
    }

    void close()
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        notFull.notify_all();
        notEmpty.notify_all();
    }

private:
    const size_t capacity;
    std::mutex mutex;
    std::condition_variable notFull;
    std::condition_variable notEmpty;
    std::deque<T> items;
    bool closed = false;
};

} // namespace engine
