// A console program that cannot start without KitProbeDep.dll and, through
// it, KitProbeLeaf.dll: a download tool with DLLs of its own.
extern "C" __declspec(dllimport) int KitProbeDep();

int main()
{
    return KitProbeDep();
}
