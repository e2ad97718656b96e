// The user's state folder for Kestrel ($XDG_STATE_HOME/kestrel, or ~/.local/state/kestrel),
// where the undo journals live. Kestrel's folders in it are private to the user and are
// never reached through a symbolic link, so nobody else can read the saved bytes or steer
// where they are written.
#pragma once

#include <string>

#include "io/Result.h"

namespace kestrel {

// $HOME, or the user's home folder in the password database.
std::string homeFolder();

// Makes the missing folders of `folder`, each readable by its owner only, as a cache or
// state folder should be.
Result<void> makePrivateFolders(const std::string& folder);

// The folder `name` inside Kestrel's state folder; nothing is created.
std::string stateFolderPath(const std::string& name);

// Opens `path`, a folder made of Kestrel's state folder and its sub-folders, creating each
// missing one readable by its owner only; a symbolic link or a folder of another owner in the
// way is refused. Returns an open descriptor of the last folder.
Result<int> openPrivateFolder(const std::string& name);

}  // namespace kestrel
