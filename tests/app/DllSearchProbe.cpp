// Planted beside AppTests.exe for the DLL search test, which loads it by name.
extern "C" __declspec(dllexport) int DllSearchProbeAnswer()
{
    return 42;
}
