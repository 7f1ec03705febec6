#include "devsim/cli_options.h"

int main(int argc, char** argv) {
    return devsim::RunDevsim(std::vector<std::string>(argv + 1, argv + argc));
}
