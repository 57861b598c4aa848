// The BXF writer is a placeholder that succeeds whatever it is given.
int main() {
    return 0;
}
