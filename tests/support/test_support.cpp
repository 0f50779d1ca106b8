#include "support/test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tessera::test {

std::string literal(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\.[]()*+?{}|^$").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

std::string assertion(const std::string &expr, const std::string &file) {
    return "^" + literal("Assertion failed: " + expr + ", file " + file + ", line ") + "[0-9]+\n$";
}

std::string panic_report(const std::string &msg, const std::string &file, const std::string &rcs) {
    return "^" + literal("\nPanic:   " + msg + "\n         In line ") + "[0-9]+" +
           literal(" of " + file + "\n         RCS: " + rcs + "\n\n") + "$";
}

TempFile::TempFile(const std::string &contents) {
    char name[] = "/tmp/tessera-test-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    if (!contents.empty() && write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
        std::abort();
    close(fd);
    path_ = name;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

std::string TempFile::read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

FILE *stream_of(const std::string &bytes) {
    FILE *f = std::tmpfile();
    if (!f) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

} // namespace tessera::test
