// testdir.h -- a fresh temporary directory for one test, removed after it.
#ifndef TESTDIR_H
#define TESTDIR_H

#include <string>

// A whole file's bytes ("" when it cannot be read), and a file written
// with exactly these bytes (false when it could not be).
std::string TestReadFile(const std::string &path);
bool TestWriteFile(const std::string &path, const std::string &bytes);

class TestDir {
public:
    TestDir();
    ~TestDir();
    TestDir(const TestDir &) = delete;
    TestDir &operator=(const TestDir &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &name) const;
    // Writes the bytes as given (no line-end translation); returns the path.
    std::string write(const std::string &name, const std::string &bytes) const;
    std::string read(const std::string &name) const;
    std::string mkdir(const std::string &name) const;
    bool exists(const std::string &name) const;

private:
    std::string root_;
};

#endif
