#include "devsim/cli_options.h"

int main(int argc, char** argv) {
    return devsim::RunDevsim(argc, argv);
}
