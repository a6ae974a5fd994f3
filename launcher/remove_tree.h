// Removal of a whole directory tree that never follows a link.
#pragma once

// Removes directory and everything below it. A link inside is removed as a link, never
// followed. True when the directory no longer exists at the end.
bool remove_tree(const wchar_t* directory);
