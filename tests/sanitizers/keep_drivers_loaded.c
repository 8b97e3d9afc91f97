/* Preloaded into every process of the sanitizer run. The Vulkan loader unloads its driver when the
 * last instance goes away; LeakSanitizer then finds the driver's own bookkeeping blocks with no module
 * left to name them, so no suppression can match. Keeping every library mapped lets the leak checker
 * see those blocks through the driver's globals, and name the driver in any report. */
int dlclose(void *handle)
{
    (void)handle;
    return 0;
}
