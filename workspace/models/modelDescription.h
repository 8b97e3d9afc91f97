#pragma once

#include "base/problem.h"

#include <QString>

// What one network of the Real-ESRGAN family is, read once from its .param before it is loaded: the
// engine, the window's model check and the command line all take these facts from here. The scale
// comes from the layers' shape rules (the channel counts from the weights' sizes the .param gives),
// never from the file's name.
struct ModelDescription {
    QString paramPath;
    QString binPath; // FILE.bin beside FILE.param
    int scale = 0;   // 1 to 4: every output side is scale x the input side
    // Input sides must be multiples of this (2 for a network that starts by folding 2x2 blocks into
    // channels, 4 for 4x4); other sizes are padded at the right and bottom and the padding cut away.
    int inputMultiple = 1;
    QString inputBlob;
    QString outputBlob;
    int inputChannels = 0;
    int outputChannels = 0;
    QString error; // why the network cannot be used, naming the file; empty when it can

    bool isValid() const { return error.isEmpty(); }
};

// Reads FILE.param. Does not open FILE.bin: loading the network says when that is missing or short.
ModelDescription describeModel(const QString &paramPath);

// WrongScale, "realesrgan-x2plus.param enlarges by 4, not 2", when the network does not enlarge by the
// scale of the slot it is loaded for.
Problem scaleRefusal(const ModelDescription &model, int slotScale);

// FILE.bin for FILE.param (any other name gets ".bin" appended).
QString weightsBeside(const QString &paramPath);
