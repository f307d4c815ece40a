// Placeholder entry until the run exists.
int main() { return 0; }
