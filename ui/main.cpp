#include "ui/app.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::puts("skelvo " SKELVO_VERSION) < 0 ? 1 : 0;
    skelvo::ui::RunSkelvo(argc, argv);
}
