// Reading what a test's programs wrote.
#pragma once

#include <string>

namespace skelvo::test {

// The whole file as bytes; empty when it cannot be read.
std::string ReadText(const std::string& path);

} // namespace skelvo::test
