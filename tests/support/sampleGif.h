#pragma once

#include <QByteArray>

// Two 6x4 frames, red then blue, as an image editor stores an animation.
inline QByteArray twoFrameGif()
{
    return QByteArray::fromHex(
        "47494638396106000400f00000c832141450c821f904000000000021ff0b4e45545343415045322e3003"
        "010000002c0000000006000400000204848fa9570021f90400000000002c00000000060004000002"
        "048c8fa957003b");
}
