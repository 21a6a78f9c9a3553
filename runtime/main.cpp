// The kez executable: everything lives in the runtime library.
int main() { return 0; }
