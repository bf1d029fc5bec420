// Does nothing: the baseline for the cost of starting a program under Wine
// in the happy-path benchmark.
int main()
{
    return 0;
}
