// Local file names that a media library answers (LibBasenameItem): a service reads, writes or
// requests them, so one that leads out of the service's folders is refused, whatever form it
// takes (absolute, "..", a symbolic link on the way or at the end).
#pragma once

#include <string>
#include <vector>

// Checks name, taken relative to base unless it is absolute, against folders (local folders;
// symbolic links in them are followed). Null with the path to use in *resolved when the file
// lies inside one of them (at any depth), else why it is refused.
const char *lib_local_refused(const std::string &name, const std::string &base,
                              const std::vector<std::string> &folders, std::string *resolved);
