#pragma once

#include "gpu_buffer.h"
#include "pipeline.h"

#include <cstddef>
#include <deque>
#include <initializer_list>
#include <memory>
#include <vector>

namespace ncnn {
class VulkanDevice;
}

namespace brivelle::vk {

using BufferRef = std::shared_ptr<Buffer>;

// Records the GPU work of one inference and submits it in pieces. Every command waits for the ones
// before it, so a buffer retired after its last reader may be handed to a later command at once.
// One stream per thread; the device's queue is shared under its lock.
class Stream {
public:
    explicit Stream(const ncnn::VulkanDevice &device);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    const ncnn::VulkanDevice &device() const { return device_; }

    // A device buffer of at least bytes: one this stream retired, else one from the device's pool.
    // Null when the device is out of memory.
    BufferRef acquire(size_t bytes);
    // The stream may reuse b once the commands recorded so far are done with it.
    void retire(BufferRef b);

    // The host data is copied into staging memory now; the device copy happens in order. 0,
    // ncnn::ERROR_OUT_OF_MEMORY without staging memory, ncnn::ERROR_UPLOAD_FAILED otherwise.
    int upload(const void *src, size_t bytes, const BufferRef &dst);
    // dst is written by finish(). Codes as for upload.
    int download(const BufferRef &src, size_t bytes, void *dst);
    // One dispatch, after checking the group counts against the device's limits. work is the
    // operation's arithmetic in flops; once a piece holds enough, it is submitted, so that no single
    // submission keeps the GPU for long (drivers reset a GPU that is busy for seconds).
    int dispatch(const Pipeline &p, std::initializer_list<BufferRef> buffers, const void *push, uint32_t gx,
                 uint32_t gy, uint32_t gz, double work);

    // Submits what is left, waits for everything and delivers the downloads. 0, or ncnn::ERROR_FAILED if the
    // device failed; the stream is empty afterwards either way.
    int finish();

    // Work per submission, in flops: about a millisecond on a fast GPU, a tenth of a second on a slow
    // one. A driver that runs on the CPU (lavapipe) gets far smaller pieces, so that a stop request
    // waits for fractions of a second, not for seconds of queued work.
    double submitWork() const { return submitWork_; }

private:
    double submitWork_;
    struct Piece {
        VkCommandBuffer cmd = VK_NULL_HANDLE;
        VkFence fence = VK_NULL_HANDLE;
    };
    struct Download {
        BufferRef staging;
        size_t bytes;
        void *dst;
    };

    bool begin();
    void barrier();
    int submit();
    int waitOldest();
    VkDescriptorSet allocateSet(const Pipeline &p);
    void reset();

    const ncnn::VulkanDevice &device_;
    VkDevice dev_;
    VkCommandPool commandPool_ = VK_NULL_HANDLE;
    std::vector<VkDescriptorPool> descriptorPools_;
    uint32_t setsLeft_ = 0;
    VkCommandBuffer current_ = VK_NULL_HANDLE;
    std::deque<Piece> pending_;
    double work_ = 0;
    bool failed_ = false;
    bool lost_ = false; // the device answered VK_ERROR_DEVICE_LOST
    bool hasCommands_ = false;
    std::vector<BufferRef> keep_;
    std::vector<BufferRef> free_;
    std::vector<Download> downloads_;
};

} // namespace brivelle::vk
