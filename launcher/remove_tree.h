// The launcher's own removal of a directory tree, which never acts through a link: a
// junction, a symbolic link or any other reparse point inside the tree is removed as the
// link itself, and what it points at is never opened for deletion, listed or changed.
#pragma once

// Removes directory and everything below it. Paths up to the system's 32,767 units, with
// or without the "\\?\" form. Safe to call from two threads at once on the same tree:
// entries that vanish under it are no error. Reports nothing; returns true when the
// directory no longer exists afterwards (also when it did not exist to begin with).
bool remove_tree(const wchar_t* directory);
