#pragma once

// The codes that Net and Extractor return; 0 is success and last_error() says more. ncnn itself returns -1
// for a failure and -100 for a failed allocation: those two values are kept.

namespace ncnn {

enum Error {
    // Anything not listed below: a file that cannot be read, a blob name that does not exist.
    ERROR_FAILED = -1,
    // An input whose shape the network cannot take.
    ERROR_BAD_INPUT = -2,
    // A .param or .bin that is malformed or does not fit its counterpart.
    ERROR_BAD_MODEL = -3,
    // A layer type that this runtime does not implement.
    ERROR_UNSUPPORTED_LAYER = -4,
    // The caller's stop request was seen between two layers; nothing of the result is kept.
    ERROR_CANCELLED = -5,
    // Data could not be copied between the host and the GPU (the device refused the transfer).
    ERROR_UPLOAD_FAILED = -6,
    // The GPU stopped answering: its driver reset it, or it was removed. Nothing of the run is kept;
    // a new instance may find the device again.
    ERROR_DEVICE_LOST = -7,
    // Memory ran out: a smaller input (tile) may still run.
    ERROR_OUT_OF_MEMORY = -100,
};

} // namespace ncnn
