// The oneDNN plan's executor: runs the compiled steps on the caller's memory, taking each root buffer
// from the pool at its first use and giving it back after its last.
#include "lowering.h"
#include "onednn_plan.h"
#include "plan_steps.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <chrono>
#include <unordered_map>

namespace brivelle::onednn {

using dnnl::memory;

namespace {

memory::desc planarDesc(Shape s, size_t cstep)
{
    const auto step = static_cast<memory::dim>(cstep);
    return memory::desc({1, s.c, s.h, s.w}, memory::data_type::f32, memory::dims{s.c * step, step, s.w, 1});
}

} // namespace

int Plan::run(const std::vector<std::pair<int, TensorView>> &inputs,
              const std::vector<std::pair<int, TensorView>> &outputs, BufferPool &pool, std::string &why,
              StepTimes *times, const std::atomic<bool> *stop, const std::function<void(int, int)> *progress)
{
    const OutputAllocator given = [this, &outputs](int blob, Shape) {
        for (const auto &entry : outputs)
            if (entry.first >= 0 && entry.first < static_cast<int>(d->canon.size()) &&
                d->canon[entry.first] == blob)
                return entry.second;
        return TensorView{};
    };
    return run(inputs, given, pool, why, times, stop, progress);
}

namespace {

// One run of a plan: the root buffers and the scratchpad it holds, given back however it ends.
class Run {
public:
    Run(Plan::Impl &plan, BufferPool &pool, const std::vector<std::pair<int, TensorView>> &inputs,
        const Plan::OutputAllocator &allocate)
        : p_(plan), pool_(pool), inputs_(inputs), allocate_(allocate), roots_(plan.rootBytes.size(), nullptr)
    {}
    ~Run() { releaseAll(); }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // Runs step s: 0, or a code with the reason in why.
    int step(size_t s, dnnl::stream &stream, std::string &why);
    // Gives back the roots whose last use step s was.
    void release(size_t s);

private:
    // The pointers and memory arguments of the step's bindings; an edge reorder is made for the caller's
    // channel step. 0, or a code with the reason in why.
    int bind(size_t s, std::string &why);
    const TensorView *external(const Binding &b);
    void releaseAll();

    Plan::Impl &p_;
    BufferPool &pool_;
    const std::vector<std::pair<int, TensorView>> &inputs_;
    const Plan::OutputAllocator &allocate_;
    std::vector<float *> roots_;
    float *scratchpad_ = nullptr;
    size_t scratchpadBytes_ = 0;
    TensorView outputView_;
    // The step being run, as bound.
    std::vector<float *> pointers_;
    std::unordered_map<int, memory> args_;
    dnnl::primitive primitive_;
    memory::desc scratchpadMd_;
    size_t stepScratchpad_ = 0;
};

void Run::releaseAll()
{
    for (float *&r : roots_) {
        pool_.release(r);
        r = nullptr;
    }
    pool_.release(scratchpad_);
    scratchpad_ = nullptr;
}

void Run::release(size_t s)
{
    for (int r : p_.steps[s].release) {
        pool_.release(roots_[size_t(r)]);
        roots_[size_t(r)] = nullptr;
    }
}

const TensorView *Run::external(const Binding &b)
{
    if (b.isOutput) {
        outputView_ = allocate_(b.external, p_.shapes[size_t(b.external)]);
        return &outputView_;
    }
    for (const auto &entry : inputs_)
        if (p_.canon[size_t(entry.first)] == b.external)
            return &entry.second;
    return nullptr;
}

int Run::bind(size_t s, std::string &why)
{
    const Step &step = p_.steps[s];
    pointers_.clear();
    args_.clear();
    primitive_ = step.primitive;
    scratchpadMd_ = step.scratchpad;
    stepScratchpad_ = step.scratchpadBytes;
    for (size_t i = 0; i < step.bindings.size(); ++i) {
        const Binding &b = step.bindings[i];
        float *ptr = nullptr;
        memory::desc md = b.md;
        if (b.blob >= 0) {
            ptr = p_.pointerOf(b.blob, roots_);
        } else {
            const TensorView *view = external(b);
            if (!view || !view->data) {
                why = b.isOutput ? "out of memory for an output" : "an input is missing";
                return b.isOutput ? ncnn::ERROR_OUT_OF_MEMORY : ncnn::ERROR_FAILED;
            }
            const Shape expected = p_.shapes[size_t(b.external)];
            if (!(view->shape == expected)) {
                why = "a tensor does not have the compiled shape";
                return ncnn::ERROR_FAILED;
            }
            md = planarDesc(expected, view->cstep);
            const memory::desc &inside = step.bindings[1 - i].md;
            primitive_ = b.isOutput ? p_.edgeReorder(s, inside, md, view->cstep)
                                    : p_.edgeReorder(s, md, inside, view->cstep);
            stepScratchpad_ = scratchpadBytesOf(primitive_, scratchpadMd_);
            ptr = view->data;
        }
        pointers_.push_back(ptr);
        args_.emplace(b.arg, memory(md, cpuEngine(), ptr));
    }
    return 0;
}

int Run::step(size_t s, dnnl::stream &stream, std::string &why)
{
    const Step &step = p_.steps[s];
    for (int r : step.acquire) {
        roots_[size_t(r)] = pool_.acquire(p_.rootBytes[size_t(r)]);
        if (!roots_[size_t(r)]) {
            why = "out of memory: " + std::to_string(p_.rootBytes[size_t(r)]) + " bytes for a blob";
            return ncnn::ERROR_OUT_OF_MEMORY;
        }
    }
    if (const int ret = bind(s, why); ret != 0)
        return ret;
    if (stepScratchpad_ > scratchpadBytes_) {
        pool_.release(scratchpad_);
        scratchpad_ = pool_.acquire(stepScratchpad_);
        scratchpadBytes_ = scratchpad_ ? stepScratchpad_ : 0;
        if (!scratchpad_) {
            why = "out of memory: " + std::to_string(stepScratchpad_) + " bytes of scratchpad";
            return ncnn::ERROR_OUT_OF_MEMORY;
        }
    }
    if (step.custom) {
        RunContext context{pool_, p_.options.numThreads, why};
        return step.custom(pointers_, context);
    }
    for (const auto &constant : step.constants)
        args_.emplace(constant.first, constant.second);
    if (stepScratchpad_ > 0)
        args_.emplace(DNNL_ARG_SCRATCHPAD, memory(scratchpadMd_, cpuEngine(), scratchpad_));
    primitive_.execute(stream, args_);
    stream.wait();
    return 0;
}

} // namespace

int Plan::run(const std::vector<std::pair<int, TensorView>> &inputs, const OutputAllocator &allocate,
              BufferPool &pool, std::string &why, StepTimes *times, const std::atomic<bool> *stop,
              const std::function<void(int, int)> *progress)
{
    ThreadScope threads(d->options.numThreads);
    try {
        Run run(*d, pool, inputs, allocate);
        dnnl::stream stream(cpuEngine());
        for (size_t s = 0; s < d->steps.size(); ++s) {
            if (stop && stop->load(std::memory_order_relaxed)) {
                why = "stopped on request";
                return ncnn::ERROR_CANCELLED;
            }
            const auto start = std::chrono::steady_clock::now();
            if (const int ret = run.step(s, stream, why); ret != 0)
                return ret;
            if (times) {
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                (d->steps[s].kernel.empty() ? times->other : times->convolution) += seconds;
            }
            if (d->options.lightMode)
                run.release(s);
            if (progress && *progress)
                (*progress)(int(s + 1), int(d->steps.size()));
        }
    } catch (const dnnl::error &e) {
        why = e.status == dnnl_out_of_memory ? "out of memory in oneDNN" : e.what();
        return e.status == dnnl_out_of_memory ? ncnn::ERROR_OUT_OF_MEMORY : ncnn::ERROR_FAILED;
    } catch (const std::bad_alloc &) {
        why = "out of memory";
        return ncnn::ERROR_OUT_OF_MEMORY;
    }
    return 0;
}

} // namespace brivelle::onednn
