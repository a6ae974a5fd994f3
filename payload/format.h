// The payload layout that the launcher reads and tavrin-pack writes. Every number that
// both sides must agree on lives here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

// Container: magic "VZ", flag "Y", one zstd frame, zero alignment bytes, length trailer.
constexpr unsigned char payload_magic_0 = 0x56;  // 'V'
constexpr unsigned char payload_magic_1 = 0x5A;  // 'Z'
constexpr unsigned char payload_flag_zstd = 0x59;  // 'Y'
constexpr size_t payload_header_size = 3;
constexpr size_t payload_trailer_size = 8;
constexpr size_t payload_trailer_alignment = 8;

// Where the payload sits in the launcher's own executable: RT_RCDATA, id 27, neutral language.
constexpr uint16_t payload_resource_type = 10;
constexpr uint16_t payload_resource_id = 27;
constexpr uint16_t payload_resource_language = 0;

// The frame: a 2^27 window at most; the packer declares exactly that window.
constexpr int payload_window_log = 27;
constexpr unsigned char payload_window_descriptor = 0x88;  // (27 - 10) << 3
constexpr uint32_t zstd_frame_magic = 0xFD2FB528;

// Entry stream: UTF-16LE name + 0x0000, 64-bit little-endian size, data; an empty name ends it.
constexpr size_t entry_name_capacity = 1024;  // units, terminator included
constexpr size_t entry_path_capacity = 4096;  // units, terminator included
constexpr size_t entry_size_bytes = 8;
constexpr size_t entry_unit_bytes = 2;
constexpr wchar_t entry_separator = L'\\';

// Reading and writing pieces.
constexpr size_t reader_window_size = 131072;  // the library's largest block
constexpr size_t write_piece_size = 32768;

// The first entry's full path, as the child role loads it.
constexpr size_t main_library_path_capacity = 1024;

// The unpacking place. A packed exe that carries this resource (same type as the payload,
// neutral language) unpacks into a cached tree instead of a fresh temporary one, or into
// temporary trees below a folder of its own. Its data: the cached tree's path spec, then
// the payload digest as text, then (optional, absent in older exes) the folder's path
// spec, each UTF-16LE and terminated by a 0x0000 unit. The folder is the cache root when
// there is a tree spec (which then begins with it), else the folder of the temporary
// trees; a resource that names only a folder has an empty tree spec and digest. Without
// the resource the launcher uses its temporary place below {TEMP}.
constexpr uint16_t place_resource_id = 28;
constexpr size_t place_spec_capacity = 1024;  // units, terminator included
// The digest: 64 bits as 16 lower-case hex digits. The tree's last name component ends in
// place_digest_separator and these digits, which is how the launcher tells its own trees
// from anything else in the same folder.
constexpr size_t place_digest_units = 16;
constexpr wchar_t place_digest_separator = L'_';
// Below CACHE_DIR: one folder for every application packed this way, then one per product.
constexpr const char place_cache_folder[] = "tavrin";

// Launcher options chosen at pack time: a resource of the payload's type with this id,
// neutral language. Its data begins with a 32-bit little-endian word of option flags; a
// later packer may append further fields, which an older launcher ignores. A record
// shorter than the word, or none, means no option; flags this launcher does not know are
// ignored.
constexpr uint16_t options_resource_id = 29;
constexpr size_t options_flags_bytes = 4;
// A slow first start shows a window with its progress until the application's own window.
constexpr uint32_t option_progress_window = 0x1;

// The record of a complete cached tree, written last into it: magic "TVTM", the digest
// (UTF-16LE, terminated), then every entry's name (UTF-16LE, terminated) and 64-bit
// little-endian size, ended by an empty name.
constexpr const wchar_t tree_marker_name[] = L".tavrin-tree";
constexpr unsigned char tree_marker_magic[4] = {'T', 'V', 'T', 'M'};
// A marker larger than this is not one the launcher wrote.
constexpr uint64_t tree_marker_max_size = 64ull << 20;
