// Linked with one layer's whole library and the layers below it: the program
// does nothing, it only has to link.
int main() { return 0; }
