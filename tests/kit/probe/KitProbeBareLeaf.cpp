// A DLL with a function of its own only. Shipped as KitProbeLeaf.dll, it
// lacks the function the probe DLL imports; with a module-definition file it
// forwards that function elsewhere instead.
extern "C" __declspec(dllexport) int KitProbeOther()
{
    return 2;
}
