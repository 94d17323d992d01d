#pragma once

// The two packages the crash test's writer alternates between. They differ
// in their file sets and every file's text names its package, so a folder
// that mixes them, or holds half of one, is recognised.

#include <string>

#include "bridge/common/json.h"

namespace palisor::test {

inline JsonValue crashPackage(int which) {
    std::string name = "package-" + std::to_string(which);
    JsonValue files = JsonValue::object();
    auto add = [&](const std::string& path) { files[path] = name + ":" + path + "\n" + std::string(2000, 'a' + which); };
    add("SKILL.md");
    for (int i = 0; i < 24; ++i) add("docs/page-" + std::to_string(i) + ".md");
    for (int i = 0; i < 8; ++i) add(name + "/only-" + std::to_string(i) + ".md");
    add(which == 0 ? "scripts/zero.sh" : "scripts/deep/one.sh");
    return files;
}

}  // namespace palisor::test
