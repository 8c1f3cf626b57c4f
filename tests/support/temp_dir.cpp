// Temporary folders for tests.
#include "test_support.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace testsupport {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "_XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp " + pattern);
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::Read(const std::string& name) const {
    std::ifstream file(m_path / name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
