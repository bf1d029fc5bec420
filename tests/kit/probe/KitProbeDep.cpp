// A DLL that the probe tool imports and that imports the leaf DLL in turn.
extern "C" __declspec(dllimport) int KitProbeLeaf();

extern "C" __declspec(dllexport) int KitProbeDep()
{
    return KitProbeLeaf() + 1;
}
