#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace palisor::test {

// A fresh folder under $TMPDIR, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// Makes `parent/name` with an AGENTS.md pointing at `projectKey` on
// `authorityOrigin`; returns the folder.
std::string makeWorkspace(const std::string& parent, const std::string& name, const std::string& projectKey,
                          const std::string& authorityOrigin);

}  // namespace palisor::test
