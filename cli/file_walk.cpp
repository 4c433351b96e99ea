// Walking the named paths into a scan list.
#include "cli/file_walk.h"

#include "cli/escaped_text.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

namespace cli {

namespace {

constexpr int kMaxDepth = 256;

void walkOne(const std::string& path, const WalkOptions& options, int depth, bool named,
             std::vector<WalkEntry>* out) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        out->push_back({path, std::string("ERROR: ") + std::strerror(errno), true});
        return;
    }
    if (S_ISLNK(info.st_mode)) {
        out->push_back({path, "Symbolic link not followed", false});
        return;
    }
    if (S_ISREG(info.st_mode)) {
        if (uint64_t(info.st_size) > options.maxFileSize)
            out->push_back({path, "Larger than --max-filesize (" + std::to_string(options.maxFileSize) +
                                      " bytes), skipped", false, true});
        else
            out->push_back({path, "", false});
        return;
    }
    if (!S_ISDIR(info.st_mode)) {
        out->push_back({path, "Not a regular file, skipped", false});
        return;
    }
    if (!named && !options.recurse) return;  // --no-recurse: the named directory's files only
    if (depth >= kMaxDepth) {
        out->push_back({path, "ERROR: directory tree too deep", true});
        return;
    }
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        out->push_back({path, std::string("ERROR: cannot read the directory: ") + std::strerror(errno), true});
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        out->push_back({path, std::string("ERROR: cannot read the directory: ") + std::strerror(readError), true});
    std::sort(names.begin(), names.end());
    const std::string prefix = path.ends_with('/') ? path : path + "/";
    for (const std::string& name : names) walkOne(prefix + name, options, depth + 1, false, out);
}

}  // namespace

std::vector<WalkEntry> walkPaths(const std::vector<std::string>& paths, const WalkOptions& options) {
    std::vector<WalkEntry> entries;
    for (const std::string& path : paths) walkOne(path, options, 0, true, &entries);
    return entries;
}

bool readPathList(const std::string& source, char separator, std::vector<std::string>* paths, std::string* error) {
    std::ifstream file;
    std::istream* in = &std::cin;
    const std::string name = source == "-" ? "standard input" : escapedText(source);
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) {
            *error = "cannot read " + name + ": " + std::strerror(errno);
            return false;
        }
        in = &file;
    }
    std::string line;
    for (uint64_t number = 1; std::getline(*in, line, separator); ++number) {
        // A NUL cannot stand in a name: the list was written for --files-from0, and reading it
        // by lines would scan the heads of its names.
        if (separator == '\n' && line.find('\0') != std::string::npos) {
            *error = name + " line " + std::to_string(number) +
                     " holds a NUL byte (lists of NUL-terminated names go with --files-from0)";
            return false;
        }
        if (separator == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) paths->push_back(line);
    }
    if (in->bad()) {
        *error = "cannot read " + name;
        return false;
    }
    return true;
}

}  // namespace cli
