#include <cstdio>

int main() {
    std::fputs("zanth-timelock: not built yet\n", stderr);
    return 101;
}
