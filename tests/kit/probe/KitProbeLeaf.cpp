// A DLL that the probe DLL imports: the second step of a download tool's
// import chain in the kit checks.
extern "C" __declspec(dllexport) int KitProbeLeaf()
{
    return 1;
}
