// Binds a function glibc added in 2.36, for the test that the drop-in file
// check refuses such a file and names the function.
#include <cstdlib>

extern "C" unsigned int probe() {
    return arc4random();
}
