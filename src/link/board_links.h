// Where simulated boards put their links, so that both front ends can offer
// them next to the real serial ports.
//
// The directory is private to the user: $XDG_RUNTIME_DIR/porten, or
// /tmp/porten-UID without XDG_RUNTIME_DIR. In /tmp anybody could create that
// name first, so a directory that is a symbolic link, is not ours, or lets
// others write into it is refused and never used.
#pragma once

#include <string>
#include <vector>

namespace porten {

// The directory for the current user (not created).
std::string BoardLinkDir();

// The link porten-board makes when given no --link: BoardLinkDir()/ttySIM0.
std::string DefaultBoardLink();

// Creates dir with mode 0700 when it is missing (its parent must exist).
// False, with a sentence for the user in *error, when dir cannot be created
// or is unsafe: a symbolic link, not a directory, owned by another user, or
// writable by group or others.
bool EnsureBoardLinkDir(const std::string& dir, std::string* error);

// The symbolic links in dir that lead to a character device (a pty), sorted
// by name; empty when dir is missing or unsafe.
std::vector<std::string> ListBoardLinks(const std::string& dir = BoardLinkDir());

}  // namespace porten
