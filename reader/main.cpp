// Placeholder entry point until the archive reader lands.
int main() { return 0; }
