// A console program that cannot start without KitProbeDep.dll and, through
// it, KitProbeLeaf.dll: a download tool with DLLs of its own.
extern "C" __declspec(dllimport) int KitProbeDep();

// Room for a delay-import directory that the kit tests write into a copy of
// this program: GNU ld leaves the directory of dlltool's delay-load
// libraries empty, so no linker here makes one.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): written by the tests, not the program
volatile unsigned char kitProbeDelayRoom[512] = "KitProbeDelayRoom";

int main()
{
    return KitProbeDep() + kitProbeDelayRoom[0];
}
