// Files for the tests that write inputs and read outputs: whole files as bytes, folder
// listings, and a scratch folder under /tmp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>

namespace testfiles {

// The file's bytes; empty when it cannot be opened.
inline std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) data.push_back(uint8_t(c));
        std::fclose(f);
    }
    return data;
}

// True when every byte went out and the file closed cleanly.
inline bool writeFile(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

// The names in a folder, sorted, dot files left out; empty when it cannot be read.
inline std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// A new folder /tmp/<prefix>XXXXXX; "" when none could be made.
inline std::string makeTempDir(const std::string& prefix) {
    std::string path = "/tmp/" + prefix + "XXXXXX";
    return mkdtemp(path.data()) ? path : std::string();
}

// Removes the folder with everything in it; true when that worked.
inline bool removeTree(const std::string& dir) { return std::system(("rm -rf '" + dir + "'").c_str()) == 0; }

}  // namespace testfiles
