/* The device-check executables travel to a machine whose C library may predate arc4random (glibc 2.36).
   The static libstdc++ refers to it from std::random_device, which nothing here calls; defining it
   keeps the executables loadable there. */
#include <stdint.h>
#include <sys/random.h>

uint32_t arc4random(void)
{
    uint32_t v = 0;
    if (getrandom(&v, sizeof v, 0) != (ssize_t)sizeof v)
        v = 0;
    return v;
}
