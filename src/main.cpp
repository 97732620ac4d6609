// Stand-in until the command line is written.
int main() { return 0; }
