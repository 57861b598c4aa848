#include "lib_local.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>

#include "text.h"

namespace {

// The real path of an existing folder, empty when it cannot be resolved.
std::string real_folder(const std::string &path) {
    std::unique_ptr<char, decltype(&free)> r(realpath(path.c_str(), nullptr), &free);
    return r ? std::string(r.get()) : std::string();
}

// True when path lies below folder, compared on a '/' boundary ("/a/bc" is not inside "/a/b").
bool inside(const std::string &path, const std::string &folder) {
    if (folder == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

}  // namespace

const char *lib_local_refused(const std::string &name, const std::string &base,
                              const std::vector<std::string> &folders, std::string *resolved) {
    if (name.empty()) return "empty";
    if (text_has_control(name)) return "it holds a control character";
    std::string full;
    if (name[0] == '/') {
        full = name;
    } else {
        if (base.empty()) return "relative, and the start folder is unknown";
        full = base + "/" + name;
    }
    size_t cut = full.rfind('/');
    std::string leaf = full.substr(cut + 1);
    if (!path_name_ok(leaf)) return "not a file name";
    // The parent resolves whole ("..", links); the leaf itself must be no link, which would
    // lead the read and the write elsewhere.
    std::string parent = real_folder(cut == 0 ? "/" : full.substr(0, cut));
    if (parent.empty()) return "its folder cannot be resolved";
    std::string path = (parent == "/" ? "" : parent) + "/" + leaf;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return "it is a symbolic link";
    for (const std::string &f : folders) {
        std::string rf = real_folder(f);
        if (!rf.empty() && inside(path, rf)) {
            if (resolved) *resolved = path;
            return nullptr;
        }
    }
    return "outside the configured folders";
}
