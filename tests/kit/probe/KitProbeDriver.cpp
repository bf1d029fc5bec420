// A kernel-mode driver image for the driver package checks: x64, the native
// subsystem, nothing imported. It is never loaded.
extern "C" long DriverEntry(void* /*driverObject*/, void* /*registryPath*/)
{
    return 0;
}
