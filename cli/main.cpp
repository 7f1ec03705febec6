#include "cli/cli.h"

int main(int argc, char** argv) {
    return skelvo::cli::Main(argc, argv);
}
