// Linked with one layer of the kernel in whole and the layers below it: the
// link fails if the layer calls into one above.
int main() {
    return 0;
}
