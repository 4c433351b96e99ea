#include <cstdio>

int main() {
    std::puts("remedy");
    return 0;
}
