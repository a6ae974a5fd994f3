// tavrin-pack extract: the files of a payload written below a directory, for a team that
// wants to see what a build put inside.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Writes every entry of the payload below directory (created when missing), after the
// whole payload has been checked as `list` checks it, so that a damaged payload or one
// with a name the launcher refuses writes nothing. Each file is written beside its place
// and renamed into it. A link met on the way (directory itself, a directory on an entry's
// path or an entry's file) is refused, never followed. On failure the files and
// directories this call created are removed again; a file it replaced stays replaced.
bool extract_payload(const unsigned char* data, size_t size, const std::filesystem::path& directory,
                     std::string* error);
