// SPDX-License-Identifier: BSD-2-Clause
// A private directory for tests that write report files, removed afterwards.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <ftw.h>
#include <string>
#include <unistd.h>
#include <vector>

struct scratch_directory {
    std::string path;
    scratch_directory()
    {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/reports-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr)
            path = pattern;
    }
    ~scratch_directory()
    {
        if (!path.empty())
            nftw(path.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
    }
    std::string at(const std::string &name) const { return path + "/" + name; }
    // The names in the directory, sorted, without "." and "..".
    std::vector<std::string> names() const
    {
        std::vector<std::string> found;
        if (DIR *directory = opendir(path.c_str())) {
            while (dirent *entry = readdir(directory)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..")
                    found.push_back(name);
            }
            closedir(directory);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

  private:
    static int remove_entry(const char *entry, const struct stat *, int, FTW *)
    {
        remove(entry);
        return 0;
    }
};

// The whole file, and whether it could be read.
inline bool read_whole(const std::string &path, std::string *content)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    content->clear();
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        content->append(buffer, got);
    fclose(f);
    return true;
}

inline bool write_whole(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return fclose(f) == 0 && ok;
}

inline bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}
