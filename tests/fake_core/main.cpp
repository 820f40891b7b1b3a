// A stand-in Core for the tests and the demo.
#include <unistd.h>

int main() {
    pause();
    return 0;
}
