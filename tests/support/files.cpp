#include "tests/support/files.h"

#include <fstream>
#include <sstream>

namespace skelvo::test {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace skelvo::test
