// SPDX-License-Identifier: BSD-2-Clause
// A private directory for tests that write report files, removed afterwards.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using names = std::vector<std::string>;

struct scratch_directory {
    std::string path;
    scratch_directory()
    {
        std::error_code ignored;
        std::string pattern = (std::filesystem::temp_directory_path(ignored) / "reports-XXXXXX").string();
        if (mkdtemp(&pattern[0]) != nullptr)
            path = pattern;
    }
    ~scratch_directory()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    std::string at(const std::string &name) const { return path + "/" + name; }
    // The names in the directory, sorted.
    names listing() const
    {
        names found;
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(path, ignored))
            found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }
};

// The whole file, or "<missing>" when it cannot be read.
inline std::string read_whole(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return file ? std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()) : "<missing>";
}

inline bool write_whole(const std::string &path, const std::string &content)
{
    std::ofstream file(path, std::ios::binary);
    return static_cast<bool>(file << content << std::flush);
}
